/* Started by scripts/test to learn whether this machine runs programs of the tree's
   architecture: exits with the width of a pointer in bits. With --window it opens a
   window first and prints the screen's size, or exits 1 when none opens. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--window") == 0) {
        HWND w = CreateWindowExA(0, "STATIC", "kv_run_probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, NULL, NULL, NULL, NULL);
        if (!w) return 1;
        printf("%dx%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        DestroyWindow(w);
    }
    return (int)sizeof(void*) * 8;
}
