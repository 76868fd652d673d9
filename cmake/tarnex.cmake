# Build settings shared by every target, and the helpers that test folders use.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options(-Wall -Wextra -Wshadow -Wno-unused-parameter)
endif()

if(TARNEX_SANITIZE)
    add_compile_options(-fsanitize=${TARNEX_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${TARNEX_SANITIZE})
    if(TARNEX_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()
if(TARNEX_BUILD_FUZZ)
    # Coverage instrumentation for all code; only the fuzz targets link libFuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(TARNEX_WINDOWS OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(TARNEX_WINDOWS ON)
    # Off, the test programs are built but not registered with CTest (a machine without that Wine); the
    # programs' files are still checked (tests/binaries).
    option(TARNEX_WINE_TIER "Run the Windows test programs under Wine" ON)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    # Resource scripts (res/): enabled here, at the top, because programs in every folder link them.
    enable_language(RC)
endif()

# The Linux window: Qt 6 Widgets (Debian's qt6-base-dev), natively and outside the ThreadSanitizer build
# (see framework/CMakeLists.txt). TARNEX_QT tells every folder whether the Qt programs are built.
set(TARNEX_QT OFF)
if(NOT TARNEX_WINDOWS AND NOT TARNEX_SANITIZE MATCHES "thread")
    find_package(Qt6 6.4 QUIET COMPONENTS Widgets Test)
    if(Qt6_FOUND)
        set(TARNEX_QT ON)
    else()
        message(WARNING "Qt 6 (qt6-base-dev) not found: the window flasher and its tests are not built")
    endif()
endif()

# tarnex_program_resources(TARGET FILE_NAME DESCRIPTION)
# Gives a Windows program its manifest (version 6 common controls, DPI awareness, asInvoker) and its
# version information (res/program.rc). Does nothing in the other builds.
function(tarnex_program_resources target file_name description)
    if(NOT TARNEX_WINDOWS)
        return()
    endif()
    set(script ${PROJECT_SOURCE_DIR}/res/program.rc)
    set(generated ${CMAKE_BINARY_DIR}/generated)
    # The program's own texts reach the script as a header of its own: quoted macro values do not pass
    # through windres's preprocessor call intact.
    set(info ${generated}/programs/${target}/program_info.h)
    file(CONFIGURE OUTPUT ${info} CONTENT
         "#define TARNEX_FILE_NAME \"${file_name}\"\n#define TARNEX_FILE_DESCRIPTION \"${description}\"\n")
    add_library(${target}_program_rc OBJECT ${script})
    target_include_directories(${target}_program_rc PRIVATE ${generated}/programs/${target} ${PROJECT_SOURCE_DIR}
                               ${generated})
    set_source_files_properties(${script} TARGET_DIRECTORY ${target}_program_rc PROPERTIES
                                OBJECT_DEPENDS "${generated}/res/version.h;${generated}/res/program.manifest;${info}")
    target_link_libraries(${target} PRIVATE ${target}_program_rc)
endfunction()

# tarnex_driver_library(TARGET)
# Marks TARGET as a driver library: tests/binaries checks that its export table holds the twelve
# operations under their plain names.
function(tarnex_driver_library target)
    set_property(GLOBAL APPEND PROPERTY TARNEX_DRIVER_LIBRARIES ${target})
endfunction()

# tarnex_tiny_windows_modules()
# Builds tiny-x86.dll, tiny-x86.exe, tiny-x64.dll and tiny-x64.exe from tests/support/tiny_module.c
# into the bin folder with the MinGW-w64 C compilers of both architectures, in every build (they are
# only read, or refused by a loader), and sets TARNEX_TINY_MODULES in the caller's scope: ON when both
# compilers were found. Tests that use them depend on the target tarnex_tiny_windows_modules.
function(tarnex_tiny_windows_modules)
    set(TARNEX_TINY_MODULES OFF PARENT_SCOPE)
    if(TARGET tarnex_tiny_windows_modules)
        set(TARNEX_TINY_MODULES ON PARENT_SCOPE)
        return()
    endif()
    set(source ${PROJECT_SOURCE_DIR}/tests/support/tiny_module.c)
    set(outputs)
    foreach(pair "i686:x86" "x86_64:x64")
        string(REPLACE ":" ";" pair ${pair})
        list(GET pair 0 prefix)
        list(GET pair 1 arch)
        find_program(TARNEX_TINY_CC_${arch} NAMES ${prefix}-w64-mingw32-gcc-posix ${prefix}-w64-mingw32-gcc)
        if(NOT TARNEX_TINY_CC_${arch})
            return()
        endif()
        set(dll ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tiny-${arch}.dll)
        set(exe ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tiny-${arch}.exe)
        add_custom_command(OUTPUT ${dll} ${exe}
                           COMMAND ${TARNEX_TINY_CC_${arch}} -shared -DTINY_LIBRARY -o ${dll} ${source}
                           COMMAND ${TARNEX_TINY_CC_${arch}} -o ${exe} ${source}
                           DEPENDS ${source} VERBATIM)
        list(APPEND outputs ${dll} ${exe})
    endforeach()
    add_custom_target(tarnex_tiny_windows_modules DEPENDS ${outputs})
    set(TARNEX_TINY_MODULES ON PARENT_SCOPE)
endfunction()

# GoogleTest: Debian's prebuilt library natively; for Windows, built from the sources that Debian's
# googletest package ships, with the cross compiler.
# tarnex_gtest is GoogleTest without a main(), for test programs that bring their own.
function(tarnex_setup_gtest)
    if(TARGET tarnex_gtest_main)
        return()
    endif()
    add_library(tarnex_gtest_main INTERFACE)
    add_library(tarnex_gtest INTERFACE)
    if(TARNEX_WINDOWS)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
        add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
        target_link_libraries(tarnex_gtest_main INTERFACE gtest_main gmock)
        target_link_libraries(tarnex_gtest INTERFACE gtest gmock)
    else()
        find_package(GTest REQUIRED)
        target_link_libraries(tarnex_gtest_main INTERFACE GTest::gtest_main GTest::gmock)
        target_link_libraries(tarnex_gtest INTERFACE GTest::gtest GTest::gmock)
    endif()
endfunction()

# tarnex_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [OWN_MAIN]
#                 [PREFIX <prefix>])
# Natively every test case becomes its own CTest test; for Windows the whole program is one test run
# under Wine (one Wine start per case would cost more than the cases). OWN_MAIN: a library among LIBS
# brings main(). PREFIX: put before the name of each native test case, for a program that runs the same
# cases as another (the end-to-end scenarios on a second window).
function(tarnex_add_test)
    cmake_parse_arguments(T "OWN_MAIN" "NAME;PREFIX" "SOURCES;LIBS;LABELS" ${ARGN})
    tarnex_setup_gtest()
    add_executable(${T_NAME} ${T_SOURCES})
    if(T_OWN_MAIN)
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tarnex_gtest)
    else()
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tarnex_gtest_main)
    endif()
    if(TARNEX_WINDOWS AND NOT TARNEX_WINE_TIER)
        return()
    elseif(TARNEX_WINDOWS)
        add_test(NAME ${T_NAME} COMMAND ${T_NAME})
        set_tests_properties(${T_NAME} PROPERTIES
            LABELS "windows;${T_LABELS}"
            FIXTURES_REQUIRED wine_prefix
            ENVIRONMENT "${TARNEX_WINE_ENV}")
    else()
        include(GoogleTest)
        gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST TEST_PREFIX "${T_PREFIX}"
                             PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# One Wine prefix per build tree, made once before the first Windows test and kept warm while they run.
if(TARNEX_WINDOWS AND TARNEX_WINE_TIER)
    set(TARNEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    # x86 programs run in a 32-bit prefix with the 32-bit loader, x64 ones in a 64-bit prefix with the
    # 64-bit loader (scripts/wine-loader.sh), so that both Wines stay installed side by side.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(TARNEX_WINE_ARCH win32)
    else()
        set(TARNEX_WINE_ARCH win64)
    endif()
    set(TARNEX_WINE_ENV
        "WINEPREFIX=${TARNEX_WINE_PREFIX};WINEARCH=${TARNEX_WINE_ARCH};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
    # Test programs run on the prefix's own X display (scripts/wine-prefix.sh starts both).
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh)
endif()
