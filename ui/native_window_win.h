// The status window drawn with plain Win32 controls: the setup view with the invite-code
// form and the status view with the headline, today's counters, the upload chart and five
// detail rows. User-interface thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/status_window.h"

namespace vornet::app {

// One child control. Geometry in 96-DPI units; a negative y is measured from the bottom of
// the client area.
struct ControlSpec {
    std::uint32_t id;
    const wchar_t* windowClass;
    const wchar_t* text;
    std::uint32_t style;
    std::int32_t x, y, width, height;
    int font;  // 0 normal, 1 title, 2 large figure, 3 code
    std::uint8_t inSetup;
    std::uint8_t inStatus;
};

// The child controls in creation order.
const std::vector<ControlSpec>& nativeControlTable();

// PARLOW_TEST_HIGH_CONTRAST=1 in the environment makes the window draw its high-contrast
// palette whatever the system says (wine cannot switch high contrast on); it is read again on
// every settings or colour change.
inline constexpr const wchar_t* kHighContrastEnv = L"PARLOW_TEST_HIGH_CONTRAST";

struct NativeWindowOptions {
    // Draw the high-contrast palette even when the system reports high contrast off.
    bool forceHighContrast = false;
};

// Answer to WM_USER: this base plus the id of the default button of the view showing.
inline constexpr LRESULT kViewProbeBase = 0x534B0000;

class NativeWindow final : public StatusWindow {
public:
    // Creates the window (hidden, setup view). created() tells whether the top-level window
    // exists; createNativeWindow below returns nothing instead of a window that failed.
    NativeWindow(HINSTANCE instance, UiEventHandler handler, NativeWindowOptions options = {});
    ~NativeWindow() override;

    bool created() const { return hwnd_ != nullptr; }

    const char* kind() const override { return "native"; }
    void* hwnd() const override { return hwnd_; }
    void show() override;
    void hide() override;
    bool isVisible() const override;
    void update(const AppStatus& status, const StatusView& view, const std::string& viewJson) override;
    void capture(const std::string& path, std::function<void(bool)> done) override;

    bool highContrast() const { return highContrast_; }

private:
    struct Resources;

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    HWND child(std::uint32_t id) const;
    void readHighContrast();
    void makeBrushes();
    void makeFonts(int dpi);
    void layout();
    void switchView(bool setup);
    void setText(std::uint32_t id, const std::wstring& text);
    void paintBackground();
    void drawItem(const DRAWITEMSTRUCT& item);
    void drawHeader(HDC dc, const RECT& rect);
    void drawChart(HDC dc, const RECT& rect);
    void drawDot(HDC dc, const RECT& rect, int row);
    HBRUSH controlColor(HDC dc, HWND control);
    void command(std::uint32_t id, std::uint32_t code);
    void connect();
    void send(UiAction action, std::string code, bool flag);

    HINSTANCE instance_;
    UiEventHandler handler_;
    NativeWindowOptions options_;
    std::unique_ptr<Resources> res_;
    std::vector<HWND> children_;
    HWND hwnd_ = nullptr;
    bool highContrast_ = false;
    std::string lastState_;
    bool setup_ = true;
    bool paused_ = false;
    bool copied_ = false;
    int ringTone_ = 1;
    int footerTop_ = 0;
    std::vector<double> chartValues_;
    double chartMax_ = 0.0;
    std::optional<int> dotTone_[5];
    HWND lastFocus_ = nullptr;  // the control that had the focus when the window was deactivated
};

// The window, or nothing when its top-level window cannot be created.
std::unique_ptr<StatusWindow> createNativeWindow(HINSTANCE instance, UiEventHandler handler,
                                                 NativeWindowOptions options = {});

// The per-window DPI where the platform has it, else the screen's; never below 1 (96 then).
int dpiForWindow(HWND window);
// Centres the window on the work area of the monitor under the pointer, sized for a client
// area of w × h at 96 DPI scaled to the window's DPI.
void placeCentered(HWND window, int w, int h);
// A 32-bit top-down BMP of w × h pixels (blue, green, red, unused per pixel).
bool writeBmp(const std::string& path, int w, int h, const std::uint32_t* pixels);

}  // namespace vornet::app
