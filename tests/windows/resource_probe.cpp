// Reads a program's icon and version information through the Windows API,
// the way Explorer and Qt do, and prints what it found (for
// scripts/test-windows-resources.sh, which runs it under Wine):
//   icons=N                 icon groups in the file (ExtractIconEx, -1)
//   first-icon=WxH          the large icon Explorer shows (index 0)
//   IDI_ICON1=WxH           the one Qt loads as its windows' class icon
//   IDI_ICON1@256=WxH       the same at 256 px (the PNG entry)
//   KEY=VALUE               the version strings of the first translation
// Exit status 0 once the file could be read at all; the caller judges.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

void printIconSize(const wchar_t *label, HICON icon)
{
    int w = 0, h = 0;
    ICONINFO info{};
    if (icon && GetIconInfo(icon, &info)) {
        BITMAP bm{};
        if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm)) {
            w = bm.bmWidth;
            h = info.hbmColor ? bm.bmHeight : bm.bmHeight / 2;
        }
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        if (info.hbmMask)
            DeleteObject(info.hbmMask);
    }
    std::wprintf(L"%ls=%dx%d\n", label, w, h);
}

void printVersionStrings(const wchar_t *path)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) {
        std::wprintf(L"version=none\n");
        return;
    }
    auto *data = new unsigned char[size];
    if (GetFileVersionInfoW(path, 0, size, data)) {
        struct Translation
        {
            WORD language;
            WORD codePage;
        } *tr = nullptr;
        UINT len = 0;
        if (VerQueryValueW(data, L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&tr),
                           &len)
            && len >= sizeof *tr) {
            static const wchar_t *const keys[] = {
                L"CompanyName",    L"FileDescription",  L"FileVersion", L"InternalName",
                L"LegalCopyright", L"OriginalFilename", L"ProductName", L"ProductVersion",
            };
            for (const wchar_t *key : keys) {
                wchar_t query[128];
                std::swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", tr->language,
                              tr->codePage, key);
                wchar_t *value = nullptr;
                UINT chars = 0;
                if (VerQueryValueW(data, query, reinterpret_cast<void **>(&value), &chars))
                    std::wprintf(L"%ls=%ls\n", key, value);
            }
        }
    }
    delete[] data;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: resource_probe PROGRAM.exe\n");
        return 2;
    }
    const wchar_t *path = argv[1];
    std::wprintf(L"icons=%u\n", ExtractIconExW(path, -1, nullptr, nullptr, 0));
    HICON large = nullptr;
    if (ExtractIconExW(path, 0, &large, nullptr, 1) == 1) {
        printIconSize(L"first-icon", large);
        DestroyIcon(large);
    } else {
        std::wprintf(L"first-icon=0x0\n");
    }

    HMODULE module =
        LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        std::fwprintf(stderr, L"cannot load %ls: error %lu\n", path, GetLastError());
        return 1;
    }
    HICON icon =
        static_cast<HICON>(LoadImageW(module, L"IDI_ICON1", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    printIconSize(L"IDI_ICON1", icon);
    if (icon)
        DestroyIcon(icon);
    icon = static_cast<HICON>(LoadImageW(module, L"IDI_ICON1", IMAGE_ICON, 256, 256, 0));
    printIconSize(L"IDI_ICON1@256", icon);
    if (icon)
        DestroyIcon(icon);
    FreeLibrary(module);

    printVersionStrings(path);
    return 0;
}
