/* Waits for the completion message box (a top-level window captioned
 * " Success!", or the caption given), records its caption, text (line
 * breaks as "\n") and buttons in boxwatch.log, writes "shown", then waits
 * until the file named by its second argument exists (the harness has
 * checked the machine meanwhile) and dismisses the box with OK, as a user
 * would.
 *
 * Arguments: <seconds to wait for each step> <Windows path of the go file>
 *            [caption]
 * Exit code: 0 dismissed, 2 no box appeared, 3 no go file came, 1 bad use. */
#include <windows.h>

#include <string.h>

#include "log.h"

static char buttons[512];

static BOOL CALLBACK CollectButton(HWND child, LPARAM unused) {
    char className[64], text[128];
    (void)unused;
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Button") == 0) {
        GetWindowTextA(child, text, sizeof text);
        if (buttons[0] != '\0') strncat(buttons, "|", sizeof buttons - strlen(buttons) - 1);
        strncat(buttons, text, sizeof buttons - strlen(buttons) - 1);
    }
    return TRUE;
}

int main(int argc, char** argv) {
    HWND box = NULL;
    char line[4096], text[2048], shown[4096], caption[256];
    const char* wanted = argc == 4 ? argv[3] : " Success!";
    int seconds, waited;
    size_t i, n;
    if (argc != 3 && argc != 4) return 1;
    seconds = atoi(argv[1]);
    for (waited = 0; box == NULL && waited < seconds * 20; ++waited) {
        box = FindWindowA(NULL, wanted);
        if (box == NULL) Sleep(50);
    }
    if (box == NULL) {
        AppendLog("boxwatch.log", "no box");
        return 2;
    }
    /* The box may be found before its text and buttons are filled in. The
     * message text is the static control 0xFFFF of the box. */
    for (waited = 0; waited < seconds * 20; ++waited) {
        text[0] = '\0';
        buttons[0] = '\0';
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EnumChildWindows(box, CollectButton, 0);
        if (text[0] != '\0' && buttons[0] != '\0') break;
        Sleep(50);
    }
    GetWindowTextA(box, caption, sizeof caption);
    snprintf(line, sizeof line, "caption=%s", caption);
    AppendLog("boxwatch.log", line);
    for (i = 0, n = 0; text[i] != '\0' && n + 2 < sizeof shown; ++i) {
        if (text[i] == '\r') continue;
        if (text[i] == '\n') shown[n++] = '\\';
        shown[n++] = text[i] == '\n' ? 'n' : text[i];
    }
    shown[n] = '\0';
    snprintf(line, sizeof line, "text=%s", shown);
    AppendLog("boxwatch.log", line);
    snprintf(line, sizeof line, "buttons=%s", buttons);
    AppendLog("boxwatch.log", line);
    AppendLog("boxwatch.log", "shown");
    for (waited = 0; waited < seconds * 20; ++waited) {
        if (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES) {
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            AppendLog("boxwatch.log", "dismissed");
            return 0;
        }
        Sleep(50);
    }
    AppendLog("boxwatch.log", "no go");
    return 3;
}
