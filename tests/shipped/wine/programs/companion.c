/* Stands in for the package's companion program: a top-level window titled
 * "Glovix" that records "ready" once it exists and "WM_CLOSE" when it is
 * asked to close, then ends. It gives up by itself after the number of
 * seconds given as its argument (default 300). */
#include <windows.h>

#include "log.h"

static LRESULT CALLBACK CompanionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        AppendLog("companion.log", "WM_CLOSE");
        DestroyWindow(window);
        return 0;
    case WM_TIMER:
        AppendLog("companion.log", "timeout");
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    WNDCLASSA windowClass;
    HWND window;
    MSG message;
    int seconds = atoi(commandLine);
    (void)previous;
    (void)show;
    if (seconds <= 0) seconds = 300;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = CompanionProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "ZavTestCompanion";
    if (!RegisterClassA(&windowClass)) return 2;
    window = CreateWindowA("ZavTestCompanion", "Glovix", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                           NULL, NULL, instance, NULL);
    if (window == NULL) return 3;
    SetTimer(window, 1, (UINT)seconds * 1000u, NULL);
    AppendLog("companion.log", "ready");
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
