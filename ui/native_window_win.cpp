#include "ui/native_window_win.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/json.h"
#include "core/text.h"
#include "ui/mark.h"
#include "ui/window_icon_win.h"

namespace vornet::app {
namespace {

constexpr const wchar_t* kClassName = L"ParlowNativeWindow";
constexpr UINT_PTR kCopiedTimer = 1;
constexpr UINT kCopiedMs = 1800;
constexpr int kFooterHeight = 52;
constexpr const wchar_t* kCopyText = L"Copy details for support";

// Ids of the controls the window procedure and update() address.
enum : std::uint32_t {
    kHeader = 100,
    kTitle = 101,
    kLine = 102,
    kCodeField = 201,
    kSetupAutostart = 202,
    kConnectError = 203,
    kConnect = 204,
    kCancel = 205,
    kTodayEvents = 304,
    kTodayGames = 305,
    kTodayUploaded = 306,
    kTotalEvents = 307,
    kTotalGames = 308,
    kChart = 310,
    kRate = 312,
    kFirstDot = 330,
    kFirstLabel = 340,
    kFirstValue = 350,
    kCopy = 360,
    kAutostart = 361,
    kPause = 362,
    kHide = 363,
};

constexpr DWORD kNoPrefix = SS_NOPREFIX;
constexpr DWORD kGroup = BS_GROUPBOX;

std::vector<ControlSpec> buildTable() {
    std::vector<ControlSpec> t = {
        {100, L"STATIC", L"", SS_OWNERDRAW, 24, 20, 32, 32, 0, 1, 1},
        {101, L"STATIC", L"", kNoPrefix, 70, 16, 460, 26, 1, 1, 1},
        {102, L"STATIC", L"", kNoPrefix, 70, 44, 460, 34, 0, 1, 1},
        {200, L"STATIC", L"Your code:", SS_LEFT, 70, 96, 200, 18, 0, 1, 0},
        {201, L"EDIT", L"", ES_UPPERCASE | ES_AUTOHSCROLL | WS_TABSTOP | WS_BORDER, 70, 116, 260, 28, 3, 1, 0},
        {202, L"BUTTON", L"Start with Windows", BS_AUTOCHECKBOX | WS_TABSTOP, 70, 156, 300, 22, 0, 1, 0},
        {203, L"STATIC", L"", kNoPrefix, 70, 190, 460, 36, 0, 1, 0},
        {204, L"BUTTON", L"Connect", BS_DEFPUSHBUTTON | WS_TABSTOP, 340, -40, 96, 28, 0, 1, 0},
        {205, L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 444, -40, 96, 28, 0, 1, 0},
        {300, L"BUTTON", L"Today (since midnight)", kGroup, 16, 84, 528, 96, 0, 0, 1},
        {301, L"STATIC", L"Events recorded", SS_LEFT, 30, 106, 160, 18, 0, 0, 1},
        {302, L"STATIC", L"Games", SS_LEFT, 202, 106, 160, 18, 0, 0, 1},
        {303, L"STATIC", L"Uploaded", SS_LEFT, 374, 106, 160, 18, 0, 0, 1},
        {304, L"STATIC", L"0", kNoPrefix, 30, 124, 160, 30, 2, 0, 1},
        {305, L"STATIC", L"0", kNoPrefix, 202, 124, 160, 30, 2, 0, 1},
        {306, L"STATIC", L"0 B", kNoPrefix, 374, 124, 160, 30, 2, 0, 1},
        {307, L"STATIC", L"", kNoPrefix, 30, 154, 160, 18, 0, 0, 1},
        {308, L"STATIC", L"", kNoPrefix, 202, 154, 160, 18, 0, 0, 1},
        {309, L"BUTTON", L"Upload, last 10 minutes", kGroup, 16, 188, 528, 122, 0, 0, 1},
        {310, L"STATIC", L"", SS_OWNERDRAW, 30, 210, 500, 72, 0, 0, 1},
        {311, L"STATIC", L"10 min ago", SS_LEFT, 30, 286, 200, 18, 0, 0, 1},
        {312, L"STATIC", L"now", SS_RIGHT | kNoPrefix, 260, 286, 274, 18, 0, 0, 1},
        {313, L"BUTTON", L"Details", kGroup, 16, 318, 528, 186, 0, 0, 1},
        {360, L"BUTTON", kCopyText, BS_PUSHBUTTON | WS_TABSTOP, 30, 464, 190, 28, 0, 0, 1},
        {361, L"BUTTON", L"Start with Windows", BS_AUTOCHECKBOX | WS_TABSTOP, 16, -38, 220, 22, 0, 0, 1},
        {362, L"BUTTON", L"Pause", BS_PUSHBUTTON | WS_TABSTOP, 340, -40, 96, 28, 0, 0, 1},
        {363, L"BUTTON", L"Hide", BS_DEFPUSHBUTTON | WS_TABSTOP, 444, -40, 96, 28, 0, 0, 1},
    };
    for (int i = 0; i < 5; ++i) {
        std::uint32_t u = static_cast<std::uint32_t>(i);
        t.push_back({330 + u, L"STATIC", L"", SS_OWNERDRAW, 30, 345 + 23 * i, 12, 12, 0, 0, 1});
        t.push_back({340 + u, L"STATIC", L"", kNoPrefix, 50, 342 + 23 * i, 130, 18, 0, 0, 1});
        t.push_back({350 + u, L"STATIC", L"", kNoPrefix | SS_ENDELLIPSIS, 184, 342 + 23 * i, 346, 18, 0, 0, 1});
    }
    return t;
}

COLORREF rgb(std::uint32_t rrggbb) {
    return RGB((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}

// a + (b - a) * strength per channel, truncated.
COLORREF blend(COLORREF a, COLORREF b, double strength) {
    auto mix = [&](int ca, int cb) { return static_cast<int>(ca + (cb - ca) * strength); };
    return RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)), mix(GetBValue(a), GetBValue(b)));
}

std::wstring toWide(std::string_view utf8) {
    WideString w = utf8ToWide(utf8);
    return std::wstring(w.begin(), w.end());
}

std::string fromWide(const std::wstring& wide) {
    return wideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::wstring windowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

// Blanks and tabs only: the code field is a single line.
std::string trimBlanks(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return std::string(text.substr(b, e - b));
}

template <typename Fn>
Fn user32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

bool environmentHighContrast() {
    wchar_t value[8] = {};
    DWORD n = GetEnvironmentVariableW(kHighContrastEnv, value, 8);
    return n == 1 && value[0] == L'1';
}

// Deletes a GDI object when replaced or destroyed.
template <typename Handle>
class GdiObject {
public:
    GdiObject() = default;
    explicit GdiObject(Handle handle) : handle_(handle) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject() { reset(); }
    void reset(Handle handle = nullptr) {
        if (handle_) DeleteObject(handle_);
        handle_ = handle;
    }
    Handle get() const { return handle_; }

private:
    Handle handle_ = nullptr;
};

}  // namespace

struct NativeWindow::Resources {
    GdiObject<HFONT> fonts[4];
    GdiObject<HBRUSH> windowBrush;
    GdiObject<HBRUSH> faceBrush;
    int dpi = 96;
};

const std::vector<ControlSpec>& nativeControlTable() {
    static const std::vector<ControlSpec> table = buildTable();
    return table;
}

int dpiForWindow(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = user32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow && window) {
        UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi < 1 ? 96 : dpi;
}

namespace {

void placeCenteredAt(HWND window, int w, int h, int dpi) {
    POINT cursor{};
    GetCursorPos(&cursor);
    HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (monitor && GetMonitorInfoW(monitor, &info)) work = info.rcWork;

    RECT outer{0, 0, MulDiv(w, dpi, 96), MulDiv(h, dpi, 96)};
    DWORD style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = user32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    if (!adjustForDpi || !adjustForDpi(&outer, style, FALSE, exStyle, static_cast<UINT>(dpi)))
        AdjustWindowRectEx(&outer, style, FALSE, exStyle);

    int workW = work.right - work.left, workH = work.bottom - work.top;
    int outerW = std::min<int>(outer.right - outer.left, workW);
    int outerH = std::min<int>(outer.bottom - outer.top, workH);
    int x = work.left + std::max(0, (workW - outerW) / 2);
    int y = work.top + std::max(0, (workH - outerH) / 2);
    SetWindowPos(window, nullptr, x, y, outerW, outerH, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

void placeCentered(HWND window, int w, int h) {
    placeCenteredAt(window, w, h, dpiForWindow(window));
}

bool writeBmp(const std::string& path, int w, int h, const std::uint32_t* pixels) {
    if (w < 0 || h < 0) return false;
    std::wstring wide = toWide(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    auto put16 = [](unsigned char* p, std::uint32_t v) {
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>(v >> 8);
    };
    auto put32 = [](unsigned char* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
    };
    const std::uint32_t pixelBytes = static_cast<std::uint32_t>(w) * static_cast<std::uint32_t>(h) * 4;
    unsigned char header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    put32(header + 2, pixelBytes + 54);
    put32(header + 10, 54);
    put32(header + 14, 40);
    put32(header + 18, static_cast<std::uint32_t>(w));
    put32(header + 22, static_cast<std::uint32_t>(-h));
    put16(header + 26, 1);
    put16(header + 28, 32);
    bool ok = true;
    DWORD written = 0;
    ok = WriteFile(file, header, sizeof(header), &written, nullptr) && written == sizeof(header);
    // Pixels are 0x00RRGGBB values: little-endian bytes blue, green, red, 0 as BMP wants.
    const auto* bytes = reinterpret_cast<const unsigned char*>(pixels);
    std::uint32_t left = pixelBytes;
    while (ok && left > 0) {
        DWORD chunk = std::min<std::uint32_t>(left, 1u << 20);
        ok = WriteFile(file, bytes, chunk, &written, nullptr) && written == chunk;
        bytes += chunk;
        left -= chunk;
    }
    ok = CloseHandle(file) && ok;
    return ok;
}

NativeWindow::NativeWindow(HINSTANCE instance, UiEventHandler handler, NativeWindowOptions options)
    : instance_(instance), handler_(std::move(handler)), options_(options), res_(std::make_unique<Resources>()) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &NativeWindow::windowProc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    // A second window in the same process finds the class registered: not an error.
    RegisterClassExW(&wc);

    readHighContrast();
    makeBrushes();

    HWND window = CreateWindowExW(0, kClassName, L"Parlow", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 600, 600, nullptr, nullptr, instance_, this);
    hwnd_ = window;
    if (!window) return;

    for (const ControlSpec& spec : nativeControlTable()) {
        HWND control = CreateWindowExW(0, spec.windowClass, spec.text, WS_CHILD | spec.style, 0, 0, 10, 10, hwnd_,
                                       reinterpret_cast<HMENU>(static_cast<UINT_PTR>(spec.id)), instance_, nullptr);
        children_.push_back(control);
    }
    if (HWND code = child(kCodeField)) {
        SendMessageW(code, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"ABCD-EFGH-JKLM"));
        SendMessageW(code, EM_SETLIMITTEXT, 20, 0);
    }
    if (HWND box = child(kSetupAutostart)) SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);

    res_->dpi = dpiForWindow(hwnd_);
    placeCenteredAt(hwnd_, 560, 572, res_->dpi);
    setWindowIcons(hwnd_, res_->dpi);
    layout();
    switchView(true);
}

NativeWindow::~NativeWindow() {
    if (!hwnd_) return;
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    KillTimer(hwnd_, kCopiedTimer);
    HICON big = reinterpret_cast<HICON>(SendMessageW(hwnd_, WM_SETICON, ICON_BIG, 0));
    HICON small = reinterpret_cast<HICON>(SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, 0));
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    if (big) DestroyIcon(big);
    if (small && small != big) DestroyIcon(small);
}

HWND NativeWindow::child(std::uint32_t id) const {
    const auto& table = nativeControlTable();
    for (std::size_t i = 0; i < table.size() && i < children_.size(); ++i)
        if (table[i].id == id) return children_[i];
    return nullptr;
}

void NativeWindow::readHighContrast() {
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof(hc);
    bool system = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
    highContrast_ = system || options_.forceHighContrast || environmentHighContrast();
}

void NativeWindow::makeBrushes() {
    res_->windowBrush.reset(CreateSolidBrush(GetSysColor(COLOR_WINDOW)));
    res_->faceBrush.reset(CreateSolidBrush(GetSysColor(COLOR_BTNFACE)));
}

void NativeWindow::makeFonts(int dpi) {
    LOGFONTW base{};
    bool haveFont = false;
    using ForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto forDpi = user32Function<ForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (forDpi && forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, static_cast<UINT>(dpi))) {
        base = metrics.lfMessageFont;
        haveFont = true;
    } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        base = metrics.lfMessageFont;
        base.lfHeight = MulDiv(-12, dpi, 96);
        haveFont = true;
    }
    if (!haveFont) {
        base.lfHeight = MulDiv(-12, dpi, 96);
        base.lfWeight = FW_NORMAL;
        base.lfCharSet = DEFAULT_CHARSET;
        std::wcscpy(base.lfFaceName, L"Segoe UI");
    }
    const LONG h = base.lfHeight;
    LOGFONTW variant = base;
    res_->fonts[0].reset(CreateFontIndirectW(&variant));
    variant.lfHeight = h * 4 / 3;
    res_->fonts[1].reset(CreateFontIndirectW(&variant));
    variant.lfHeight = h * 5 / 3;
    res_->fonts[2].reset(CreateFontIndirectW(&variant));
    variant.lfHeight = h * 7 / 6;
    std::wcscpy(variant.lfFaceName, L"Consolas");
    res_->fonts[3].reset(CreateFontIndirectW(&variant));
}

void NativeWindow::layout() {
    const int dpi = res_->dpi;
    makeFonts(dpi);
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int clientH = client.bottom - client.top;
    const auto& table = nativeControlTable();
    for (std::size_t i = 0; i < table.size() && i < children_.size(); ++i) {
        const ControlSpec& s = table[i];
        int x = MulDiv(s.x, dpi, 96);
        int y = MulDiv(s.y, dpi, 96) + (s.y < 0 ? clientH : 0);
        SetWindowPos(children_[i], nullptr, x, y, MulDiv(s.width, dpi, 96), MulDiv(s.height, dpi, 96),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(children_[i], WM_SETFONT, reinterpret_cast<WPARAM>(res_->fonts[s.font].get()), FALSE);
    }
    footerTop_ = clientH - MulDiv(kFooterHeight, dpi, 96);
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void NativeWindow::switchView(bool setup) {
    setup_ = setup;
    // Hiding the focused control leaves the focus on this window itself: remember where it was
    // so that it can go to the control the new view starts with.
    HWND focus = GetFocus();
    const auto& table = nativeControlTable();
    for (std::size_t i = 0; i < table.size() && i < children_.size(); ++i) {
        bool shown = setup ? table[i].inSetup : table[i].inStatus;
        ShowWindow(children_[i], shown ? SW_SHOWNA : SW_HIDE);
    }
    if (focus && IsChild(hwnd_, focus) && !IsWindowVisible(focus)) SetFocus(child(setup ? kCodeField : kHide));
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void NativeWindow::setText(std::uint32_t id, const std::wstring& text) {
    HWND control = child(id);
    if (control && windowText(control) != text) SetWindowTextW(control, text.c_str());
}

void NativeWindow::show() {
    if (!hwnd_) return;
    if (IsIconic(hwnd_))
        ShowWindow(hwnd_, SW_RESTORE);
    else
        ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    if (setup_)
        if (HWND code = child(kCodeField)) SetFocus(code);
}

void NativeWindow::hide() {
    if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

bool NativeWindow::isVisible() const {
    return hwnd_ && IsWindowVisible(hwnd_) && !IsIconic(hwnd_);
}

void NativeWindow::update(const AppStatus& status, const StatusView& view, const std::string& viewJson) {
    if (!hwnd_) return;
    const bool setup = view.state == "setup" || view.state == "reconnect";
    if (setup != setup_ || view.state != lastState_) {
        switchView(setup);
        if (setup) {
            SetWindowTextW(child(kCodeField), L"");
            ShowWindow(child(kSetupAutostart), view.state == "reconnect" ? SW_HIDE : SW_SHOWNA);
            if (isVisible()) SetFocus(child(kCodeField));
        }
    }
    lastState_ = view.state;
    ringTone_ = view.tone;
    setText(kTitle, toWide(view.title));
    setText(kLine, toWide(view.line));
    const std::wstring caption = setup ? std::wstring(L"Parlow") : L"Parlow \u00B7 " + toWide(view.title);
    if (windowText(hwnd_) != caption) SetWindowTextW(hwnd_, caption.c_str());

    if (setup) {
        setText(kConnectError, toWide(status.connectError));
        EnableWindow(child(kConnect), !status.enrolling);
        setText(kConnect, status.enrolling ? L"Connecting\u2026" : L"Connect");
        SendMessageW(child(kCodeField), EM_SETREADONLY, status.enrolling ? TRUE : FALSE, 0);
        InvalidateRect(child(kHeader), nullptr, FALSE);
        return;
    }

    JsonValue json = parseJson(viewJson).value_or(JsonValue::object());
    auto member = [&](std::string_view group, std::string_view key) {
        const JsonValue* g = json.find(group);
        return g ? g->getString(key, "") : std::string();
    };
    setText(kTodayEvents, toWide(member("today", "events")));
    setText(kTodayGames, toWide(member("today", "games")));
    setText(kTodayUploaded, toWide(member("today", "uploaded")));
    setText(kTotalEvents, toWide(member("total", "events") + " in total"));
    setText(kTotalGames, toWide(member("total", "games") + " in total"));
    setText(kRate, toWide(member("chart", "rate")));
    chartValues_.clear();
    chartMax_ = 0.0;
    if (const JsonValue* chart = json.find("chart")) {
        if (const JsonValue* bars = chart->find("bars"); bars && bars->isArray())
            for (const JsonValue& bar : bars->asArray()) chartValues_.push_back(bar.asDouble(0.0));
        if (const JsonValue* max = chart->find("max")) chartMax_ = max->asDouble(0.0);
    }

    for (int i = 0; i < 5; ++i) {
        const StatusRow* row =
            i < static_cast<int>(view.rows.size()) ? &view.rows[static_cast<std::size_t>(i)] : nullptr;
        std::uint32_t u = static_cast<std::uint32_t>(i);
        setText(kFirstLabel + u, row ? toWide(row->label) : std::wstring());
        setText(kFirstValue + u, row ? toWide(row->value) : std::wstring());
        dotTone_[i].reset();
        if (row && row->tone == "green") dotTone_[i] = 0;
        if (row && row->tone == "amber") dotTone_[i] = 1;
        if (row && row->tone == "red") dotTone_[i] = 2;
    }

    setText(kPause, status.paused ? L"Resume" : L"Pause");
    if (!copied_) setText(kCopy, kCopyText);
    SendMessageW(child(kAutostart), BM_SETCHECK, status.startWithWindows ? BST_CHECKED : BST_UNCHECKED, 0);
    paused_ = status.paused;

    InvalidateRect(child(kChart), nullptr, FALSE);
    for (std::uint32_t i = 0; i < 5; ++i) InvalidateRect(child(kFirstDot + i), nullptr, FALSE);
    InvalidateRect(child(kHeader), nullptr, FALSE);
}

void NativeWindow::capture(const std::string& path, std::function<void(bool)> done) {
    bool ok = false;
    if (hwnd_) {
        RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        RECT client{};
        GetClientRect(hwnd_, &client);
        const int w = client.right, h = client.bottom;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        HDC windowDc = GetDC(hwnd_);
        HDC memory = CreateCompatibleDC(windowDc);
        void* bits = nullptr;
        HBITMAP section =
            w > 0 && h > 0 ? CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
        if (section && bits && memory) {
            HGDIOBJ old = SelectObject(memory, section);
            auto* pixels = static_cast<std::uint32_t*>(bits);
            const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
            // PW_CLIENTONLY | PW_RENDERFULLCONTENT. Wine answers TRUE with an empty image, so an
            // image of one colour counts as a failure too (this window never is one colour).
            bool printed = PrintWindow(hwnd_, memory, PW_CLIENTONLY | 0x2) != FALSE;
            GdiFlush();
            if (printed)
                printed = std::any_of(pixels, pixels + count,
                                      [&](std::uint32_t p) { return (p & 0xFFFFFF) != (pixels[0] & 0xFFFFFF); });
            bool copied = printed || BitBlt(memory, 0, 0, w, h, windowDc, 0, 0, SRCCOPY);
            GdiFlush();
            SelectObject(memory, old);
            if (copied) {
                for (std::size_t i = 0; i < count; ++i) pixels[i] &= 0xFFFFFF;
                ok = writeBmp(path, w, h, pixels);
            }
        }
        if (section) DeleteObject(section);
        if (memory) DeleteDC(memory);
        ReleaseDC(hwnd_, windowDc);
    }
    if (done) done(ok);
}

void NativeWindow::send(UiAction action, std::string code, bool flag) {
    if (!handler_) return;
    UiEvent event;
    event.action = action;
    event.code = std::move(code);
    event.flag = flag;
    handler_(event);
}

void NativeWindow::connect() {
    HWND field = child(kCodeField);
    wchar_t buffer[64] = {};
    int got = GetWindowTextW(field, buffer, 64);
    std::string code = trimBlanks(fromWide(std::wstring(buffer, static_cast<std::size_t>(std::max(got, 0)))));
    if (code.empty()) {
        SetFocus(field);
        return;
    }
    bool autostart = SendMessageW(child(kSetupAutostart), BM_GETCHECK, 0, 0) == BST_CHECKED;
    send(UiAction::Connect, std::move(code), autostart);
}

void NativeWindow::command(std::uint32_t id, std::uint32_t code) {
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDOK:
            if (setup_) {
                connect();
            } else {
                send(UiAction::Hide, {}, false);
            }
            break;
        case kConnect:
            connect();
            break;
        case IDCANCEL:
        case kCancel:
        case kHide:
            send(UiAction::Hide, {}, false);
            break;
        case kPause:
            send(UiAction::Pause, {}, !paused_);
            break;
        case kAutostart:
            send(UiAction::StartWithWindows, {}, SendMessageW(child(kAutostart), BM_GETCHECK, 0, 0) == BST_CHECKED);
            break;
        case kCopy:
            copied_ = true;
            setText(kCopy, L"Copied");
            SetTimer(hwnd_, kCopiedTimer, kCopiedMs, nullptr);
            send(UiAction::CopyDetails, {}, false);
            break;
        default:
            break;
    }
}

void NativeWindow::paintBackground() {
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT client{};
    GetClientRect(hwnd_, &client);
    RECT body = client;
    body.bottom = footerTop_;
    FillRect(dc, &body, res_->windowBrush.get());
    RECT footer = client;
    footer.top = footerTop_;
    FillRect(dc, &footer, res_->faceBrush.get());
    RECT line{client.left, footerTop_, client.right, footerTop_ + 1};
    GdiObject<HBRUSH> separator(CreateSolidBrush(highContrast_ ? GetSysColor(COLOR_BTNTEXT) : rgb(0xDFDFDF)));
    FillRect(dc, &line, separator.get());
    EndPaint(hwnd_, &ps);
}

void NativeWindow::drawHeader(HDC dc, const RECT& rect) {
    const int w = rect.right - rect.left;
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    if (setup_) {
        std::vector<std::uint32_t> mark = renderMark(w, 1, false);
        for (int y = 0; y < w && y < rect.bottom - rect.top; ++y) {
            for (int x = 0; x < w; ++x) {
                std::uint32_t p =
                    mark[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)];
                std::uint32_t alpha = p >> 24;
                if (alpha == 0) continue;
                SetPixelV(dc, rect.left + x, rect.top + y, blend(window, rgb(p & 0xFFFFFF), alpha / 255.0));
            }
        }
        return;
    }
    static const std::uint32_t ring[3] = {0x107C10, 0xD9860B, 0xD13438};
    const int tone = ringTone_ >= 0 && ringTone_ <= 2 ? ringTone_ : 1;
    GdiObject<HBRUSH> fill(CreateSolidBrush(rgb(ring[tone])));
    HGDIOBJ oldBrush = SelectObject(dc, fill.get());
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    // With no pen, Ellipse leaves out the right and bottom edges: one more covers the rectangle.
    Ellipse(dc, rect.left, rect.top, rect.right + 1, rect.bottom + 1);
    GdiObject<HPEN> pen(CreatePen(PS_SOLID, std::max(2, w / 12), RGB(255, 255, 255)));
    SelectObject(dc, pen.get());
    auto at = [&](double fx, double fy) {
        return POINT{rect.left + static_cast<LONG>(fx * w), rect.top + static_cast<LONG>(fy * w)};
    };
    if (tone == 0) {
        POINT check[3] = {at(0.30, 0.52), at(0.44, 0.66), at(0.71, 0.37)};
        Polyline(dc, check, 3);
    } else if (tone == 2) {
        POINT a[2] = {at(0.34, 0.34), at(0.66, 0.66)};
        POINT b[2] = {at(0.66, 0.34), at(0.34, 0.66)};
        Polyline(dc, a, 2);
        Polyline(dc, b, 2);
    } else {
        POINT a[2] = {at(0.5, 0.26), at(0.5, 0.58)};
        POINT b[2] = {at(0.5, 0.70), at(0.5, 0.74)};
        Polyline(dc, a, 2);
        Polyline(dc, b, 2);
    }
    // Deselected before the pen and brush are deleted at the end of the scope.
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
}

void NativeWindow::drawChart(HDC dc, const RECT& rect) {
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF frameColor = highContrast_ ? GetSysColor(COLOR_WINDOWTEXT) : rgb(0xDFDFDF);
    const COLORREF barColor = highContrast_ ? GetSysColor(COLOR_HIGHLIGHT) : rgb(0x3B5BDB);
    GdiObject<HBRUSH> frame(CreateSolidBrush(frameColor));
    FrameRect(dc, &rect, frame.get());

    const long long n = static_cast<long long>(chartValues_.size());
    if (n == 0) return;
    const double M = std::max(1.0, chartMax_);
    const long long W = (rect.right - rect.left) - 8;
    const int H = (rect.bottom - rect.top) - 5;
    for (long long i = 0; i < n; ++i) {
        const double value = chartValues_[static_cast<std::size_t>(i)];
        const int left = static_cast<int>(rect.left) + 4 + static_cast<int>((i * W) / n);
        const int right = std::max(left + 1, static_cast<int>(rect.left) + 2 + static_cast<int>(((i + 1) * W) / n));
        const int minimum = value > 0 ? 3 : 1;
        const int height = std::max(minimum, static_cast<int>(value / M * H));
        double strength;
        if (highContrast_) {
            if (value <= 0) continue;
            strength = 1.0;
        } else {
            strength = value > 0.25 * M ? 1.0 : value > 0 ? 0.45 : 0.12;
            if (paused_) strength /= 2;
        }
        RECT bar{left, rect.bottom - 1 - height, right, rect.bottom - 1};
        GdiObject<HBRUSH> brush(CreateSolidBrush(blend(window, barColor, strength)));
        FillRect(dc, &bar, brush.get());
    }
}

void NativeWindow::drawDot(HDC dc, const RECT& rect, int row) {
    if (!dotTone_[row]) return;
    GdiObject<HBRUSH> fill(CreateSolidBrush(rgb(toneColor(*dotTone_[row]))));
    HGDIOBJ oldBrush = SelectObject(dc, fill.get());
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, rect.left, rect.top, rect.right + 1, rect.bottom + 1);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
}

void NativeWindow::drawItem(const DRAWITEMSTRUCT& item) {
    FillRect(item.hDC, &item.rcItem, res_->windowBrush.get());
    const UINT id = item.CtlID;
    if (id == kHeader)
        drawHeader(item.hDC, item.rcItem);
    else if (id == kChart)
        drawChart(item.hDC, item.rcItem);
    else if (id >= kFirstDot && id < kFirstDot + 5)
        drawDot(item.hDC, item.rcItem, static_cast<int>(id - kFirstDot));
}

HBRUSH NativeWindow::controlColor(HDC dc, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    const bool footer = r.top >= footerTop_;
    const auto id = static_cast<std::uint32_t>(GetDlgCtrlID(control));
    COLORREF text;
    if (footer) {
        text = GetSysColor(COLOR_BTNTEXT);
    } else if (highContrast_) {
        text = GetSysColor(COLOR_WINDOWTEXT);
    } else if (id == kTitle || id == 300 || id == 309 || id == 313) {
        text = rgb(0x003399);
    } else if (id == kConnectError) {
        text = rgb(0xC42B1C);
    } else if ((id >= 301 && id <= 303) || id == 307 || id == 308 || id == 311 || id == 312 ||
               (id >= kFirstLabel && id < kFirstLabel + 5)) {
        text = rgb(0x444444);
    } else {
        text = GetSysColor(COLOR_WINDOWTEXT);
    }
    SetTextColor(dc, text);
    HBRUSH brush = footer ? res_->faceBrush.get() : res_->windowBrush.get();
    if (id == kCodeField) {
        // A read-only edit field asks here too; it repaints its text over its own background,
        // so that one gets an opaque one.
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return brush;
    }
    SetBkMode(dc, TRANSPARENT);
    SetBkColor(dc, GetSysColor(footer ? COLOR_BTNFACE : COLOR_WINDOW));
    return brush;
}

LRESULT CALLBACK NativeWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<NativeWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    if (!self->hwnd_) {
        // Messages sent during CreateWindowExW arrive before it returned the handle.
        self->hwnd_ = window;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT NativeWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            paintBackground();
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_DRAWITEM:
            drawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            return reinterpret_cast<LRESULT>(
                controlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
        case WM_COMMAND:
            command(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_TIMER:
            if (wParam == kCopiedTimer) {
                KillTimer(hwnd_, kCopiedTimer);
                copied_ = false;
                setText(kCopy, kCopyText);
                return 0;
            }
            break;
        case WM_CLOSE:
            hide();
            return 0;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_MINIMIZE) {
                hide();
                return 0;
            }
            break;
        case WM_SYSCOLORCHANGE:
        case WM_SETTINGCHANGE:
        case WM_THEMECHANGED:
            readHighContrast();
            makeBrushes();
            RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
            break;
        case WM_DPICHANGED: {
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            res_->dpi = LOWORD(wParam) ? LOWORD(wParam) : dpiForWindow(hwnd_);
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            setWindowIcons(hwnd_, res_->dpi);
            layout();
            return 0;
        }
        case WM_ACTIVATE:
            // A plain window gets the focus itself when activated again; like a dialog, hand it
            // back to the control that had it, or to the first control of the view.
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                lastFocus_ = focus && IsChild(hwnd_, focus) ? focus : nullptr;
                return 0;
            }
            if (!IsIconic(hwnd_)) {
                HWND target =
                    lastFocus_ && IsWindowVisible(lastFocus_) ? lastFocus_ : child(setup_ ? kCodeField : kHide);
                SetFocus(target);
                return 0;
            }
            break;
        case WM_USER:
            return kViewProbeBase + (setup_ ? kConnect : kHide);
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

std::unique_ptr<StatusWindow> createNativeWindow(HINSTANCE instance, UiEventHandler handler,
                                                 NativeWindowOptions options) {
    auto window = std::make_unique<NativeWindow>(instance, std::move(handler), options);
    if (!window->created()) return nullptr;
    return window;
}

}  // namespace vornet::app
