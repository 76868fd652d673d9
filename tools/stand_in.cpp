// tarnex-stand-in: a small base executable for flashers made before the window program exists. Run with
// the payload appended, it does what the flasher does first: checks its own file and indexes the images.
#include <cstdio>

#include "package/image_table.h"

int main(int argc, char **argv) {
    if (argc < 1 || !argv[0])
        return 1;
    const char *self = argv[0];
    printf("Tarnex stand-in flasher: checking the payload of %s\n", self);
    if (const char *error = load_image_table(self, &g_ImageTable)) {
        printf("%s\n", error);
        return 1;
    }
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        const ImageSlot &slot = g_ImageTable.Slots[i];
        if (slot.Data)
            printf("  %-22s %12u bytes\n", IMAGE_ENTRY_NAMES[i], slot.Size);
        else
            printf("  %-22s absent\n", IMAGE_ENTRY_NAMES[i]);
    }
    printf("image bytes %u, progress reported every %u bytes\n", g_ImageTable.TotalImageBytes,
           g_ImageTable.ProgressSlice);
    free_file_buffer(g_ImageTable.FileBuffer);
    g_ImageTable = ImageTable{};
    return 0;
}
