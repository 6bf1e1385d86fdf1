/* check_marker.exe MARKER CODE   (console)
 * Stands for the check a deployment runs after the installer: prints "marker present" or
 * "marker absent" (did the program before it finish?) and exits with CODE.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) return 255;
    printf("marker %s\n", GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES ? "absent" : "present");
    return _wtoi(argv[2]);
}
