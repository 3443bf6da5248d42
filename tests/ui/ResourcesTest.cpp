// The library's resources as the shell and the dialogs load them: the icon
// groups (and their order, which the overlay handlers count on), the animation
// clips played by a real animation control, the manifest and the activation
// context made from it.
#include "common/Exceptions.h"
#include "module/Module.h"
#include "support/LoadedLibrary.h"
#include "ui/ActivationContext.h"
#include "ui/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

using cfx::test::LoadedLibrary;
using cfx::ui::ActivationContext;
using cfx::ui::ActivationScope;

namespace {

// Every icon group, in resource order.
constexpr WORD kIconGroups[] = {IDI_DOCUMENT,    IDI_FROZEN_OVERLAY, IDI_INACCESSIBLE_OVERLAY,
                                IDI_KEY_OVERLAY, IDI_KEY_MANAGEMENT, IDI_DEFRAGMENTATION,
                                IDI_FREEZING};
constexpr WORD kOverlays[] = {IDI_FROZEN_OVERLAY, IDI_INACCESSIBLE_OVERLAY, IDI_KEY_OVERLAY};
constexpr int kIconSizes[] = {16, 32, 48};

// Which dialog a clip belongs to decides the room it has.
enum class Room { ModernBand, ClassicStrip, WaitBox };
const std::map<WORD, Room> kClips = {
    {IDR_AVI_COPY, Room::ModernBand},          {IDR_AVI_CHECK, Room::ModernBand},
    {IDR_AVI_COPY_MANY, Room::ModernBand},     {IDR_AVI_DELETE, Room::ModernBand},
    {IDR_AVI_COPY_SMALL, Room::ClassicStrip},  {IDR_AVI_COPY_MANY_SMALL, Room::ClassicStrip},
    {IDR_AVI_CHECK_SMALL, Room::ClassicStrip}, {IDR_AVI_DELETE_SMALL, Room::ClassicStrip},
    {IDR_AVI_ANALYSE, Room::WaitBox},          {IDR_AVI_DEFRAGMENT, Room::WaitBox},
};

// --- Reading resources ---

struct Resource {
    const BYTE* data = nullptr;
    DWORD size = 0;
};

Resource findResource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found)
        return {};
    return {static_cast<const BYTE*>(LockResource(LoadResource(module, found))),
            SizeofResource(module, found)};
}

template <class T> T read(const BYTE* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

std::vector<GroupIconEntry> groupEntries(HMODULE module, WORD group) {
    Resource r = findResource(module, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
    std::vector<GroupIconEntry> entries;
    if (r.size < 6)
        return entries;
    WORD count = read<WORD>(r.data + 4);
    for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupIconEntry) <= r.size; ++i)
        entries.push_back(read<GroupIconEntry>(r.data + 6 + i * sizeof(GroupIconEntry)));
    return entries;
}

// One 32-bit image of an icon group as stored: BGRA colours and AND mask bits,
// both top-down.
struct StoredIcon {
    int size = 0;
    std::vector<std::uint32_t> bgra;
    std::vector<bool> masked;

    BYTE alpha(int x, int y) const { return static_cast<BYTE>(bgra[y * size + x] >> 24); }
};

StoredIcon storedIcon(HMODULE module, WORD id) {
    Resource r = findResource(module, MAKEINTRESOURCEW(id), RT_ICON);
    StoredIcon icon;
    if (r.size < sizeof(BITMAPINFOHEADER))
        return icon;
    auto header = read<BITMAPINFOHEADER>(r.data);
    if (header.biBitCount != 32 || header.biCompression != BI_RGB ||
        header.biHeight != 2 * header.biWidth)
        return icon;
    int size = header.biWidth;
    size_t maskStride = (size + 31) / 32 * 4;
    if (r.size < header.biSize + size * size * 4 + maskStride * size)
        return icon;
    const BYTE* colours = r.data + header.biSize;
    const BYTE* mask = colours + size * size * 4;
    icon.size = size;
    icon.bgra.resize(size * size);
    icon.masked.resize(size * size);
    for (int y = 0; y < size; ++y) {
        int row = size - 1 - y; // stored bottom-up
        for (int x = 0; x < size; ++x) {
            icon.bgra[y * size + x] = read<std::uint32_t>(colours + (row * size + x) * 4);
            icon.masked[y * size + x] = (mask[row * maskStride + x / 8] & (0x80 >> (x % 8))) != 0;
        }
    }
    return icon;
}

StoredIcon storedIcon(HMODULE module, WORD group, int size) {
    for (const GroupIconEntry& entry : groupEntries(module, group)) {
        if (entry.width == size)
            return storedIcon(module, entry.id);
    }
    return {};
}

// What a loaded icon shows: its colour bitmap as 32-bit pixels, top-down.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> values;
    bool operator==(const Pixels& o) const {
        return width == o.width && height == o.height && values == o.values;
    }
};

Pixels bitmapPixels(HBITMAP bitmap) {
    Pixels pixels;
    BITMAP info{};
    if (!GetObjectW(bitmap, sizeof info, &info))
        return pixels;
    BITMAPINFO request{};
    request.bmiHeader = {sizeof(BITMAPINFOHEADER), info.bmWidth, -info.bmHeight, 1, 32, BI_RGB};
    pixels.values.resize(static_cast<size_t>(info.bmWidth) * info.bmHeight);
    HDC screen = GetDC(nullptr);
    int lines =
        GetDIBits(screen, bitmap, 0, info.bmHeight, pixels.values.data(), &request, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (lines == info.bmHeight) {
        pixels.width = info.bmWidth;
        pixels.height = info.bmHeight;
    }
    return pixels;
}

Pixels iconPixels(HICON icon) {
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info))
        return {};
    Pixels pixels = bitmapPixels(info.hbmColor);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return pixels;
}

HICON loadIcon(HMODULE module, WORD group, int size) {
    return static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(group), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// --- Reading the AVI clips, independently of the code that writes them ---

constexpr DWORD kHasIndex = 0x10; // AVIF_HASINDEX of the main header

struct Clip {
    DWORD microsecondsPerFrame = 0;
    DWORD totalFrames = 0;
    DWORD streams = 0;
    DWORD flags = 0;
    DWORD suggestedBuffer = 0;
    LONG width = 0;
    LONG height = 0;
    std::string streamType;
    std::string handler;
    BITMAPINFOHEADER format{};
    std::vector<std::uint32_t> palette; // 0x00RRGGBB
    std::vector<Resource> frames;
    size_t indexEntries = 0;
    std::string error;
};

std::string fourcc(const BYTE* p) {
    return std::string(reinterpret_cast<const char*>(p), 4);
}

void readHeaders(const BYTE* p, const BYTE* end, Clip& clip) {
    while (p + 8 <= end) {
        std::string id = fourcc(p);
        DWORD size = read<DWORD>(p + 4);
        const BYTE* body = p + 8;
        if (body + size > end) {
            clip.error = "chunk " + id + " runs past its list";
            return;
        }
        if (id == "LIST" && size >= 4) {
            if (fourcc(body) == "strl")
                ++clip.streams;
            readHeaders(body + 4, body + size, clip);
        } else if (id == "avih" && size >= 56) {
            clip.microsecondsPerFrame = read<DWORD>(body);
            clip.flags = read<DWORD>(body + 12);
            clip.totalFrames = read<DWORD>(body + 16);
            clip.suggestedBuffer = read<DWORD>(body + 28);
            clip.width = read<LONG>(body + 32);
            clip.height = read<LONG>(body + 36);
            if (read<DWORD>(body + 24) != 1)
                clip.error = "the main header counts more than one stream";
        } else if (id == "strh" && size >= 56) {
            clip.streamType = fourcc(body);
            clip.handler = fourcc(body + 4);
        } else if (id == "strf" && size >= sizeof(BITMAPINFOHEADER)) {
            clip.format = read<BITMAPINFOHEADER>(body);
            DWORD colours = clip.format.biClrUsed ? clip.format.biClrUsed : 256;
            for (DWORD i = 0; i < colours && clip.format.biSize + (i + 1) * 4 <= size; ++i) {
                auto quad = read<RGBQUAD>(body + clip.format.biSize + i * 4);
                clip.palette.push_back((quad.rgbRed << 16) | (quad.rgbGreen << 8) | quad.rgbBlue);
            }
        }
        p = body + size + (size & 1);
    }
}

Clip readClip(Resource r) {
    Clip clip;
    if (r.size < 12 || fourcc(r.data) != "RIFF" || fourcc(r.data + 8) != "AVI ") {
        clip.error = "not a RIFF AVI";
        return clip;
    }
    const BYTE* end = r.data + 8 + read<DWORD>(r.data + 4);
    if (end > r.data + r.size) {
        clip.error = "the RIFF size is larger than the resource";
        return clip;
    }
    for (const BYTE* p = r.data + 12; p + 8 <= end;) {
        std::string id = fourcc(p);
        DWORD size = read<DWORD>(p + 4);
        const BYTE* body = p + 8;
        if (body + size > end) {
            clip.error = "chunk " + id + " runs past the file";
            return clip;
        }
        if (id == "LIST" && size >= 4 && fourcc(body) == "hdrl") {
            readHeaders(body + 4, body + size, clip);
        } else if (id == "LIST" && size >= 4 && fourcc(body) == "movi") {
            for (const BYTE* q = body + 4; q + 8 <= body + size;) {
                DWORD length = read<DWORD>(q + 4);
                std::string kind = fourcc(q);
                if (kind.substr(2) == "dc" || kind.substr(2) == "db")
                    clip.frames.push_back({q + 8, length});
                else if (kind.substr(2) == "wb")
                    clip.error = "the clip has sound";
                q += 8 + length + (length & 1);
            }
        } else if (id == "idx1") {
            clip.indexEntries = size / 16;
        }
        p = body + size + (size & 1);
    }
    return clip;
}

// One frame as palette indexes, top-down. RLE8 frames must be complete pictures:
// every row filled, no jumps (which would keep pixels of the frame before).
std::vector<BYTE> decodeFrame(const Clip& clip, Resource frame, std::string& error) {
    LONG width = clip.format.biWidth, height = clip.format.biHeight;
    std::vector<BYTE> pixels(static_cast<size_t>(width) * height);
    if (clip.format.biCompression == BI_RGB) {
        size_t stride = (width + 3) / 4 * 4;
        if (frame.size < stride * height) {
            error = "short frame";
            return {};
        }
        for (LONG y = 0; y < height; ++y)
            std::memcpy(&pixels[(height - 1 - y) * width], frame.data + y * stride, width);
        return pixels;
    }
    LONG x = 0, row = 0; // rows counted from the bottom
    for (size_t i = 0; i + 1 < frame.size;) {
        BYTE count = frame.data[i], value = frame.data[i + 1];
        i += 2;
        if (row >= height) {
            error = "data below the last row";
            return {};
        }
        BYTE* line = &pixels[(height - 1 - row) * width];
        if (count) {
            if (x + count > width) {
                error = "a run passes the end of a row";
                return {};
            }
            std::memset(line + x, value, count);
            x += count;
        } else if (value == 0 || value == 1) {
            if (x != width) {
                error = "row " + std::to_string(row) + " is not filled";
                return {};
            }
            x = 0;
            ++row;
            if (value == 1) {
                if (row != height || i != frame.size) {
                    error = "the picture ends early or has data after its end";
                    return {};
                }
                return pixels;
            }
        } else if (value == 2) {
            error = "a jump: the frame is not a complete picture";
            return {};
        } else {
            if (x + value > width || i + value > frame.size) {
                error = "a literal run passes the end of a row";
                return {};
            }
            std::memcpy(line + x, frame.data + i, value);
            x += value;
            i += value + (value & 1);
        }
    }
    error = "no end-of-picture code";
    return {};
}

// --- Windows to play the clips in ---

// The parent answers WM_CTLCOLORSTATIC with a brush of kMatte, a colour no clip
// uses, so that a transparent clip's background shows as kMatte.
constexpr COLORREF kMatte = RGB(255, 0, 255);

LRESULT CALLBACK matteParent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    static HBRUSH brush = CreateSolidBrush(kMatte);
    if (message == WM_CTLCOLORSTATIC) {
        SetBkColor(reinterpret_cast<HDC>(wParam), kMatte);
        return reinterpret_cast<LRESULT>(brush);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct WindowCloser {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowCloser>;

Window makeParent() {
    static ATOM registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = matteParent;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"cfxResourceTestParent";
        return RegisterClassW(&wc);
    }();
    EXPECT_NE(registered, 0);
    return Window(CreateWindowExW(0, L"cfxResourceTestParent", L"", WS_POPUP, 0, 0, 600, 200,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
}

Window makeAnimation(HWND parent, DWORD style) {
    return Window(CreateWindowExW(0, ANIMATE_CLASSW, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 10,
                                  10, parent, reinterpret_cast<HMENU>(1001),
                                  GetModuleHandleW(nullptr), nullptr));
}

// What the control paints now, as 0x00RRGGBB top-down.
std::vector<std::uint32_t> painted(HWND animation, LONG width, LONG height) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    std::vector<std::uint32_t> pixels;
    if (bits) {
        std::memset(bits, 0, static_cast<size_t>(width) * height * 4);
        SendMessageW(animation, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        GdiFlush();
        auto* values = static_cast<std::uint32_t*>(bits);
        pixels.assign(values, values + static_cast<size_t>(width) * height);
        for (auto& p : pixels)
            p &= 0x00FFFFFF;
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return pixels;
}

// The size in pixels of cx by cy dialog units in a dialog with the given font.
SIZE dialogUnits(const wchar_t* face, WORD points, DWORD style, int cx, int cy) {
    alignas(4) WORD buffer[64] = {};
    DLGTEMPLATE header{WS_POPUP | DS_SETFONT | style, 0, 0, 0, 0, 100, 100};
    std::memcpy(buffer, &header, sizeof header);
    size_t at = sizeof header / sizeof(WORD);
    buffer[at++] = 0; // no menu
    buffer[at++] = 0; // standard class
    buffer[at++] = 0; // no title
    buffer[at++] = points;
    for (const wchar_t* c = face; *c; ++c)
        buffer[at++] = static_cast<WORD>(*c);
    buffer[at++] = 0;
    HWND dialog = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(buffer), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    RECT r{0, 0, cx, cy};
    if (dialog) {
        MapDialogRect(dialog, &r);
        DestroyWindow(dialog);
    }
    return {r.right, r.bottom};
}

class Resources : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dll_ = new LoadedLibrary(L"cfxview.dll");
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS};
        ActivationContext context(dll_->handle());
        ActivationScope scope(context);
        InitCommonControlsEx(&controls);
    }
    static void TearDownTestSuite() {
        delete dll_;
        dll_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(module(), nullptr); }

    static HMODULE module() { return dll_->handle(); }
    static const LoadedLibrary& dll() { return *dll_; }

    Clip clip(WORD id) {
        Resource r = findResource(module(), MAKEINTRESOURCEW(id), L"AVI");
        EXPECT_NE(r.data, nullptr) << "no AVI resource " << id;
        Clip c = readClip(r);
        EXPECT_EQ(c.error, "") << "clip " << id;
        return c;
    }

private:
    static LoadedLibrary* dll_;
};

LoadedLibrary* Resources::dll_ = nullptr;

// --- Icons ---

TEST_F(Resources, EveryIconGroupHolds16By32And48PixelImagesWithAlpha) {
    for (WORD group : kIconGroups) {
        std::set<int> sizes;
        for (const GroupIconEntry& entry : groupEntries(module(), group)) {
            sizes.insert(entry.width);
            EXPECT_EQ(entry.height, entry.width) << "group " << group;
            EXPECT_EQ(entry.bitCount, 32) << "group " << group;
            StoredIcon icon = storedIcon(module(), entry.id);
            ASSERT_EQ(icon.size, entry.width) << "group " << group << " image " << entry.id
                                              << " is not a 32-bit image of its size";
        }
        EXPECT_EQ(sizes, (std::set<int>{16, 32, 48})) << "group " << group;
    }
}

TEST_F(Resources, IconMasksHideExactlyWhatTheAlphaChannelHides) {
    for (WORD group : kIconGroups) {
        for (int size : kIconSizes) {
            StoredIcon icon = storedIcon(module(), group, size);
            ASSERT_EQ(icon.size, size) << "group " << group;
            int soft = 0;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    BYTE alpha = icon.alpha(x, y);
                    bool masked = icon.masked[y * size + x];
                    if (alpha == 0) {
                        EXPECT_TRUE(masked) << group << "/" << size << " at " << x << "," << y;
                        EXPECT_EQ(icon.bgra[y * size + x], 0u) << "a hidden pixel is not black";
                    } else if (alpha == 255) {
                        EXPECT_FALSE(masked) << group << "/" << size << " at " << x << "," << y;
                    } else {
                        ++soft;
                    }
                }
            }
            EXPECT_GT(soft, 0) << "group " << group << " at " << size << " has no soft edges";
        }
    }
}

TEST_F(Resources, IconsLoadAtEachSizeWithoutScaling) {
    for (WORD group : kIconGroups) {
        for (int size : kIconSizes) {
            HICON icon = loadIcon(module(), group, size);
            ASSERT_NE(icon, nullptr) << "group " << group << " at " << size;
            Pixels pixels = iconPixels(icon);
            EXPECT_EQ(pixels.width, size);
            EXPECT_EQ(pixels.height, size);
            DestroyIcon(icon);
        }
    }
    // What LoadIconW gives the dialogs: the document icon at the system size.
    HICON windowIcon = LoadIconW(module(), MAKEINTRESOURCEW(IDI_DOCUMENT));
    EXPECT_NE(windowIcon, nullptr);
}

TEST_F(Resources, OverlaysAreBadgesInTheBottomLeftCorner) {
    for (WORD group : kOverlays) {
        for (int size : kIconSizes) {
            StoredIcon icon = storedIcon(module(), group, size);
            ASSERT_EQ(icon.size, size);
            int covered = 0;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    if (icon.alpha(x, y) == 0)
                        continue;
                    ++covered;
                    // The file's own icon must stay visible above and to the right.
                    EXPECT_LT(x, size * 0.7) << group << "/" << size << " at " << x << "," << y;
                    EXPECT_GE(y, size * 0.3) << group << "/" << size << " at " << x << "," << y;
                }
            }
            // Large enough to be seen, small enough to be a badge.
            EXPECT_GT(covered, size * size / 6) << "group " << group << " at " << size;
            EXPECT_LT(covered, size * size / 2) << "group " << group << " at " << size;
            EXPECT_EQ(icon.alpha(size / 4, size - 1 - size / 4), 255)
                << "group " << group << " at " << size << ": the badge's middle is not solid";
        }
    }
}

TEST_F(Resources, TheDocumentIconCoversMostOfItsSquare) {
    for (int size : kIconSizes) {
        StoredIcon icon = storedIcon(module(), IDI_DOCUMENT, size);
        ASSERT_EQ(icon.size, size);
        int opaque = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x)
                opaque += icon.alpha(x, y) == 255;
        }
        EXPECT_GT(opaque, size * size / 2) << "at " << size;
    }
}

TEST_F(Resources, IconIndexesInTheFileAreTheGroupsInOrder) {
    std::wstring path = dll().path();
    // Seven groups in all.
    EXPECT_EQ(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), std::size(kIconGroups));
    // The overlay handlers name icons 1 to 3 of the file: they must be groups 2 to 4.
    std::vector<Pixels> shown;
    for (int index = 0; index < 4; ++index) {
        WORD group = kIconGroups[index];
        std::set<UINT> images;
        for (const GroupIconEntry& entry : groupEntries(module(), group))
            images.insert(entry.id);
        for (int size : kIconSizes) {
            HICON icon = nullptr;
            UINT image = 0;
            ASSERT_EQ(PrivateExtractIconsW(path.c_str(), index, size, size, &icon, &image, 1, 0),
                      1u)
                << "index " << index;
            EXPECT_EQ(images.count(image), 1u)
                << "index " << index << " at " << size << " gives image " << image
                << ", which is not one of group " << group;
            DestroyIcon(icon);
        }
        // What the shell itself asks for.
        HICON large = nullptr;
        ExtractIconExW(path.c_str(), index, &large, nullptr, 1);
        ASSERT_NE(large, nullptr) << "index " << index;
        HICON expected = loadIcon(module(), group, GetSystemMetrics(SM_CXICON));
        Pixels pixels = iconPixels(large);
        EXPECT_EQ(pixels.width, GetSystemMetrics(SM_CXICON));
        EXPECT_TRUE(pixels == iconPixels(expected)) << "index " << index;
        shown.push_back(pixels);
        DestroyIcon(large);
        DestroyIcon(expected);
    }
    // Different pictures, or the comparison above proves nothing.
    for (size_t i = 0; i < shown.size(); ++i) {
        for (size_t j = i + 1; j < shown.size(); ++j)
            EXPECT_FALSE(shown[i] == shown[j]) << "icons " << i << " and " << j << " are alike";
    }
}

// --- Animation clips ---

TEST_F(Resources, ClipsAreSilentLoopsOfEightBitFrames) {
    for (const auto& [id, room] : kClips) {
        Clip c = clip(id);
        EXPECT_EQ(c.streams, 1u) << "clip " << id;
        EXPECT_EQ(c.streamType, "vids") << "clip " << id;
        EXPECT_EQ(c.format.biBitCount, 8) << "clip " << id;
        EXPECT_TRUE(c.format.biCompression == BI_RLE8 || c.format.biCompression == BI_RGB)
            << "clip " << id;
        EXPECT_TRUE(c.handler == "RLE " || c.handler == "DIB " || c.handler == "mrle" ||
                    c.handler == std::string(4, '\0'))
            << "clip " << id << " names a codec the control cannot play: " << c.handler;
        EXPECT_EQ(c.width, c.format.biWidth) << "clip " << id;
        EXPECT_EQ(c.height, c.format.biHeight) << "clip " << id;
        EXPECT_FALSE(c.palette.empty()) << "clip " << id;
        // Short loops at a steady pace, with an index as players expect.
        EXPECT_GE(c.totalFrames, 8u) << "clip " << id;
        EXPECT_LE(c.totalFrames, 60u) << "clip " << id;
        EXPECT_EQ(c.frames.size(), c.totalFrames) << "clip " << id;
        EXPECT_GE(c.microsecondsPerFrame, 40000u) << "clip " << id;
        EXPECT_LE(c.microsecondsPerFrame, 200000u) << "clip " << id;
        EXPECT_TRUE(c.flags & kHasIndex) << "clip " << id;
        EXPECT_EQ(c.indexEntries, c.totalFrames) << "clip " << id;
        for (const Resource& frame : c.frames) {
            // The control reads this much of each frame, and GDI decodes no more
            // RLE data than the format's image size.
            EXPECT_LE(frame.size, c.suggestedBuffer) << "clip " << id;
            if (c.format.biCompression == BI_RLE8) {
                EXPECT_LE(frame.size, c.format.biSizeImage) << "clip " << id;
            }
        }
    }
}

TEST_F(Resources, FramesAreCompletePicturesThatMove) {
    for (const auto& [id, room] : kClips) {
        Clip c = clip(id);
        std::set<std::vector<BYTE>> distinct;
        for (size_t n = 0; n < c.frames.size(); ++n) {
            std::string error;
            std::vector<BYTE> frame = decodeFrame(c, c.frames[n], error);
            ASSERT_EQ(error, "") << "clip " << id << " frame " << n;
            for (BYTE index : frame)
                ASSERT_LT(index, c.palette.size()) << "clip " << id << " frame " << n;
            distinct.insert(frame);
        }
        EXPECT_GE(distinct.size(), c.frames.size() * 2 / 3) << "clip " << id << " hardly moves";
    }
}

TEST_F(Resources, ClipsFitTheirDialogs) {
    // The modern band is 207 x 22 units of 9-point Segoe UI; its control is
    // sized to the clip, which must span the band. The classic strip is 230 x 30
    // units and the wait dialog's box 54 x 46 units of 8-point MS Shell Dlg.
    SIZE band = dialogUnits(L"Segoe UI", 9, 0, 207, 22);
    SIZE strip = dialogUnits(L"MS Shell Dlg", 8, DS_FIXEDSYS, 230, 30);
    SIZE box = dialogUnits(L"MS Shell Dlg", 8, DS_FIXEDSYS, 54, 46);
    ASSERT_GT(band.cx, 0);
    for (const auto& [id, room] : kClips) {
        Clip c = clip(id);
        switch (room) {
        case Room::ModernBand:
            EXPECT_GE(c.width, band.cx) << "clip " << id;
            EXPECT_LE(c.width, band.cx + 8) << "clip " << id;
            EXPECT_NEAR(c.height, band.cy, 3) << "clip " << id;
            break;
        case Room::ClassicStrip:
            EXPECT_LE(c.width, strip.cx) << "clip " << id;
            EXPECT_LE(c.height, strip.cy) << "clip " << id;
            EXPECT_GE(c.width, 3 * c.height) << "clip " << id;
            break;
        case Room::WaitBox:
            EXPECT_LE(c.width, box.cx) << "clip " << id;
            EXPECT_LE(c.height, box.cy) << "clip " << id;
            break;
        }
    }
}

TEST_F(Resources, EveryClipOpensAndPlaysInAnAnimationControl) {
    ActivationContext context(module());
    ActivationScope scope(context);
    Window parent = makeParent();
    ASSERT_TRUE(parent);
    for (const auto& [id, room] : kClips) {
        Clip c = clip(id);
        Window animation = makeAnimation(parent.get(), 0);
        ASSERT_TRUE(animation);
        ASSERT_TRUE(SendMessageW(animation.get(), ACM_OPENW, reinterpret_cast<WPARAM>(module()),
                                 static_cast<LPARAM>(id)))
            << "clip " << id;
        // Without ACS_CENTER the control takes the clip's size.
        RECT client{};
        GetClientRect(animation.get(), &client);
        EXPECT_EQ(client.right, c.width) << "clip " << id;
        EXPECT_EQ(client.bottom, c.height) << "clip " << id;
        EXPECT_TRUE(
            SendMessageW(animation.get(), ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF)))
            << "clip " << id;
        Sleep(100);
        EXPECT_TRUE(SendMessageW(animation.get(), ACM_STOP, 0, 0)) << "clip " << id;
    }
    // A number that is no clip does not open: the answers above mean something.
    Window animation = makeAnimation(parent.get(), 0);
    EXPECT_FALSE(SendMessageW(animation.get(), ACM_OPENW, reinterpret_cast<WPARAM>(module()),
                              static_cast<LPARAM>(IDR_AVI_COPY + 1)));
}

TEST_F(Resources, TheControlShowsEveryFrameAsStored) {
    ActivationContext context(module());
    ActivationScope scope(context);
    Window parent = makeParent();
    for (const auto& [id, room] : kClips) {
        Clip c = clip(id);
        Window animation = makeAnimation(parent.get(), 0);
        ASSERT_TRUE(SendMessageW(animation.get(), ACM_OPENW, reinterpret_cast<WPARAM>(module()),
                                 static_cast<LPARAM>(id)))
            << "clip " << id;
        for (size_t n = 0; n < c.frames.size(); ++n) {
            std::string error;
            std::vector<BYTE> frame = decodeFrame(c, c.frames[n], error);
            ASSERT_EQ(error, "");
            // Playing from a frame to itself shows that frame and stops.
            ASSERT_TRUE(SendMessageW(animation.get(), ACM_PLAY, 1, MAKELPARAM(n, n)));
            std::vector<std::uint32_t> shown = painted(animation.get(), c.width, c.height);
            ASSERT_EQ(shown.size(), frame.size());
            size_t wrong = 0;
            for (size_t i = 0; i < frame.size(); ++i)
                wrong += shown[i] != c.palette[frame[i]];
            EXPECT_EQ(wrong, 0u) << "clip " << id << " frame " << n;
        }
    }
}

TEST_F(Resources, SmallClipsLetTheDialogShowThroughTheirBackground) {
    // The classic progress dialog and the wait dialog play their clips with
    // ACS_TRANSPARENT: the colour of the first frame's top-left pixel becomes
    // the dialog's. That colour must be the background and nothing else.
    ActivationContext context(module());
    ActivationScope scope(context);
    Window parent = makeParent();
    for (const auto& [id, room] : kClips) {
        if (room == Room::ModernBand)
            continue;
        Clip c = clip(id);
        Window animation = makeAnimation(parent.get(), ACS_TRANSPARENT);
        ASSERT_TRUE(SendMessageW(animation.get(), ACM_OPENW, reinterpret_cast<WPARAM>(module()),
                                 static_cast<LPARAM>(id)))
            << "clip " << id;
        std::string error;
        std::uint32_t background = c.palette[decodeFrame(c, c.frames[0], error)[0]];
        for (size_t n = 0; n < c.frames.size(); ++n) {
            std::vector<BYTE> frame = decodeFrame(c, c.frames[n], error);
            ASSERT_TRUE(SendMessageW(animation.get(), ACM_PLAY, 1, MAKELPARAM(n, n)));
            std::vector<std::uint32_t> shown = painted(animation.get(), c.width, c.height);
            ASSERT_EQ(shown.size(), frame.size());
            size_t matte = 0, wrong = 0;
            for (size_t i = 0; i < frame.size(); ++i) {
                std::uint32_t own = c.palette[frame[i]];
                std::uint32_t expected = own == background ? 0xFF00FF : own;
                wrong += shown[i] != expected;
                matte += shown[i] == 0xFF00FF;
            }
            EXPECT_EQ(wrong, 0u) << "clip " << id << " frame " << n;
            // Mostly background, with a picture on it.
            EXPECT_GT(matte, frame.size() / 3) << "clip " << id << " frame " << n;
            EXPECT_LT(matte, frame.size() * 19 / 20) << "clip " << id << " frame " << n;
        }
    }
}

// --- Manifest and activation context ---

TEST_F(Resources, TheManifestAsksForCommonControlsVersion6) {
    Resource manifest = findResource(module(), MAKEINTRESOURCEW(IDR_MANIFEST), RT_MANIFEST);
    ASSERT_NE(manifest.data, nullptr);
    std::string text(reinterpret_cast<const char*>(manifest.data), manifest.size);
    EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos);
    EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
}

// The assembly the active context takes comctl32.dll from, as "name,...,version=..."
// text; empty when the active context does not redirect comctl32.dll.
std::wstring comctl32Assembly() {
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof data;
    if (!FindActCtxSectionStringW(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                                  ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll",
                                  &data))
        return L"";
    SIZE_T needed = 0;
    DWORD index = data.ulAssemblyRosterIndex;
    QueryActCtxW(0, data.hActCtx, &index, AssemblyDetailedInformationInActivationContext, nullptr,
                 0, &needed);
    std::vector<BYTE> buffer(needed);
    std::wstring identity;
    if (needed &&
        QueryActCtxW(0, data.hActCtx, &index, AssemblyDetailedInformationInActivationContext,
                     buffer.data(), buffer.size(), &needed)) {
        auto* info =
            reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(buffer.data());
        if (info->lpAssemblyEncodedAssemblyIdentity)
            identity = info->lpAssemblyEncodedAssemblyIdentity;
    }
    ReleaseActCtx(data.hActCtx);
    return identity;
}

bool redirectsClass(const wchar_t* name) {
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof data;
    return FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_WINDOW_CLASS_REDIRECTION,
                                    name, &data);
}

HANDLE currentContext() {
    HANDLE current = nullptr;
    GetCurrentActCtx(&current);
    if (current)
        ReleaseActCtx(current);
    return current;
}

TEST_F(Resources, TheActivationContextBringsCommonControlsVersion6) {
    ASSERT_EQ(comctl32Assembly(), L"") << "the test program must not ask for them itself";
    ActivationContext context(module());
    ASSERT_NE(context.get(), nullptr);
    {
        ActivationScope scope(context);
        EXPECT_EQ(currentContext(), context.get());
        std::wstring assembly = comctl32Assembly();
        EXPECT_NE(assembly.find(L"Microsoft.Windows.Common-Controls"), std::wstring::npos)
            << "comctl32.dll comes from: " << std::string(assembly.begin(), assembly.end());
        EXPECT_NE(assembly.find(L"version=\"6."), std::wstring::npos);
        // Controls made now are the version-6 ones.
        EXPECT_TRUE(redirectsClass(ANIMATE_CLASSW));
        EXPECT_TRUE(redirectsClass(PROGRESS_CLASSW));
        EXPECT_TRUE(redirectsClass(L"Button"));
    }
    EXPECT_NE(currentContext(), context.get());
    EXPECT_EQ(comctl32Assembly(), L"");
    EXPECT_FALSE(redirectsClass(ANIMATE_CLASSW));
}

TEST_F(Resources, ScopesNestAndUndoInOrder) {
    ActivationContext context(module());
    ActivationContext other(module());
    {
        ActivationScope outer(context);
        {
            ActivationScope inner(other);
            EXPECT_EQ(currentContext(), other.get());
        }
        EXPECT_EQ(currentContext(), context.get());
    }
    EXPECT_EQ(currentContext(), nullptr);
}

TEST_F(Resources, AModuleWithoutTheManifestGivesNoContext) {
    // The test program has no manifest resource 2.
    EXPECT_THROW(ActivationContext{GetModuleHandleW(nullptr)}, cfx::win_except);
}

TEST_F(Resources, TheLibraryMakesItsOwnContextOnce) {
    // In the library, the module handle is its own; here it is the loaded DLL's.
    cfx::module::attach(module());
    const ActivationContext& first = ActivationContext::library();
    EXPECT_EQ(&ActivationContext::library(), &first);
    {
        ActivationScope scope;
        EXPECT_EQ(currentContext(), first.get());
        EXPECT_NE(comctl32Assembly().find(L"Microsoft.Windows.Common-Controls"),
                  std::wstring::npos);
    }
    cfx::module::detach();
}

} // namespace
