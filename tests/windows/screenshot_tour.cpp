// quorvane-screenshot-tour.exe: walks the Windows windows through the states the README shows and
// saves a picture of each, frame included, as a 24-bit BMP read back from the screen: the main
// window with an image named, the About box, and the progress window a third of the way through
// a transfer (then cancelled). Run by scripts/screenshots-windows under wine, against a simulated
// device on COM3.
//
// usage: quorvane-screenshot-tour OUT_FOLDER IMAGE

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/update_job.h"
#include "ui/main_dialog.h"
#include "ui/win32/win32.h"

namespace {

constexpr int kHealthyPortIndex = 2;  // COM3
constexpr DWORD kTransferTimeoutMs = 120000;
bool failed = false;
std::string outFolder;

void Fail(const char* what) {
    std::fprintf(stderr, "quorvane-screenshot-tour: %s\n", what);
    failed = true;
}

// Dispatches the thread's messages until `done` holds or the time is up: timers tick, windows
// paint.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

void Settle() {
    PumpUntil([] { return false; }, 400);
}

// Saves the window as the screen shows it, frame included.
void Shoot(HWND window, const char* name) {
    Settle();
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP picture = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom row first, as a BMP file keeps it
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
    std::vector<char> pixels(stride * size_t(height));
    const int rows = GetDIBits(memory, picture, 0, UINT(height), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height) {
        Fail("could not read the screen");
        return;
    }

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = DWORD(file.bfOffBits + pixels.size());
    const std::string path = outFolder + "\\" + name + ".bmp";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(pixels.data(), std::streamsize(pixels.size()));
    if (!out) Fail(("could not write " + path).c_str());
    std::printf("%s: %dx%d\n", path.c_str(), width, height);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT_FOLDER IMAGE\n", argv[0]);
        return 64;
    }
    outFolder = argv[1];

    CWinApp app;
    CMainDialog main;
    app.m_pMainWnd = &main;
    if (!main.Create()) return 1;
    main.SetDlgItemText(kIdcFileName, argv[2]);
    if (auto* ports = dynamic_cast<CComboBox*>(main.GetDlgItem(kIdcPortList))) {
        ports->SetCurSel(kHealthyPortIndex);
    }
    SetForegroundWindow(main.GetSafeHwnd());
    main.GetDlgItem(kIdcFileName)->SetFocus();
    Shoot(main.GetSafeHwnd(), "windows-main");

    CDialog::SetModalObserver([](CDialog& about) {
        Shoot(about.GetSafeHwnd(), "windows-about");
        about.EndDialog(IDOK);
    });
    // As the system menu's entry sends it.
    SendMessageW(main.GetSafeHwnd(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);

    CDialog::SetModalObserver([](CDialog& progress) {
        auto* bar = dynamic_cast<CProgressCtrl*>(progress.GetDlgItem(kIdcProgressBar));
        const bool midway = PumpUntil(
            [&] {
                int low = 0, high = 0;
                bar->GetRange(low, high);
                return high > 100 && bar->GetPos() * 3 >= high;
            },
            kTransferTimeoutMs);
        if (!midway) Fail("the transfer never got a third of the way");
        Shoot(progress.GetSafeHwnd(), "windows-progress");
        // Cancel, as the button does; the window closes once the job has ended.
        PostMessageW(progress.GetSafeHwnd(), WM_COMMAND, IDCANCEL, 0);
    });
    // "Start", as its click sends it.
    SendMessageW(main.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 LPARAM(main.GetDlgItem(IDOK)->GetSafeHwnd()));

    CDialog::SetModalObserver(nullptr);
    main.DestroyWindow();
    app.m_pMainWnd = nullptr;
    return failed ? 1 : 0;
}
