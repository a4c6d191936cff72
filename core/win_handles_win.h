// The Windows handle kinds the program owns, each with its release call, for UniqueHandle.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <wincrypt.h>
#include <winhttp.h>

#include "core/unique_handle.h"

namespace vornet::win {

using vornet::UniqueHandle;

struct KernelHandleTraits {
    using Handle = HANDLE;
    static void close(Handle h) { CloseHandle(h); }
};
// Files and snapshots, whose "no handle" value is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle empty() { return INVALID_HANDLE_VALUE; }
    static void close(Handle h) { CloseHandle(h); }
};
struct WindowTraits {
    using Handle = HWND;
    static void close(Handle h) { DestroyWindow(h); }
};
struct IconTraits {
    using Handle = HICON;
    static void close(Handle h) { DestroyIcon(h); }
};
struct MenuTraits {
    using Handle = HMENU;
    static void close(Handle h) { DestroyMenu(h); }
};
// Fonts, brushes, pens and bitmaps.
template <typename T>
struct GdiObjectTraits {
    using Handle = T;
    static void close(Handle h) { DeleteObject(h); }
};
struct MemoryDcTraits {
    using Handle = HDC;
    static void close(Handle h) { DeleteDC(h); }
};
struct RegistryKeyTraits {
    using Handle = HKEY;
    static void close(Handle h) { RegCloseKey(h); }
};
struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static void close(Handle h) { LocalFree(h); }
};
struct WinHttpHandleTraits {
    using Handle = HINTERNET;
    static void close(Handle h) { WinHttpCloseHandle(h); }
};
struct CertStoreTraits {
    using Handle = HCERTSTORE;
    static void close(Handle h) { CertCloseStore(h, 0); }
};
struct CertContextTraits {
    using Handle = PCCERT_CONTEXT;
    static void close(Handle h) { CertFreeCertificateContext(h); }
};
struct CertChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static void close(Handle h) { CertFreeCertificateChain(h); }
};

// Mutexes, events, processes and threads.
using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using Window = UniqueHandle<WindowTraits>;
using Icon = UniqueHandle<IconTraits>;
using Menu = UniqueHandle<MenuTraits>;
using Font = UniqueHandle<GdiObjectTraits<HFONT>>;
using Brush = UniqueHandle<GdiObjectTraits<HBRUSH>>;
using Pen = UniqueHandle<GdiObjectTraits<HPEN>>;
using Bitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using MemoryDc = UniqueHandle<MemoryDcTraits>;
using RegistryKey = UniqueHandle<RegistryKeyTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;
// Session, connection, request and WebSocket handles.
using WinHttpHandle = UniqueHandle<WinHttpHandleTraits>;
using CertStore = UniqueHandle<CertStoreTraits>;
using CertContext = UniqueHandle<CertContextTraits>;
using CertChain = UniqueHandle<CertChainTraits>;

}  // namespace vornet::win
