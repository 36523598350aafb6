#include "platform/images.h"

#include <array>
#include <string_view>

#include "platform/faults.h"

namespace platform::images {

namespace {

// The program's pictures, 16 × 15 pixels each, one character per pixel:
//   . transparent green   k black   w white   g light grey   o dark yellow   y yellow   b blue
//   r red
using Picture = std::array<std::string_view, 15>;

constexpr Picture kOpenFolder = {
    "................", "................", ".oooo...........", "oyyyyo..........", "oyyyyooooooo....",
    "oyyyyyyyyyyo....", "oyyooooooooooooo", "oyoyyyyyyyyyyyo.", "oyoyyyyyyyyyyyo.", "ooyyyyyyyyyyyo..",
    "ooyyyyyyyyyyyo..", "oyyyyyyyyyyyo...", "ooooooooooooo...", "................", "................",
};

constexpr Picture kClosedFolder = {
    "................", "................", ".oooo...........", "oyyyyo..........", "ooooooooooooo...",
    "oyyyyyyyyyyyo...", "oyyyyyyyyyyyo...", "oyyyyyyyyyyyo...", "oyyyyyyyyyyyo...", "oyyyyyyyyyyyo...",
    "oyyyyyyyyyyyo...", "oyyyyyyyyyyyo...", "ooooooooooooo...", "................", "................",
};

constexpr Picture kUnused = {
    "................", "................", "................", "................", "................",
    "................", "................", "................", "................", "................",
    "................", "................", "................", "................", "................",
};

constexpr Picture kMessagePage = {
    "................", "..kkkkkkkkk.....", "..kwwwwwwwkk....", "..kwwwwwwwkwk...", "..kwbbbbwwkkkk..",
    "..kwwwwwwwwwwk..", "..kwbbbbbbbbwk..", "..kwwwwwwwwwwk..", "..kwbbbbbbbbwk..", "..kwwwwwwwwwwk..",
    "..kwbbbbbbwwwk..", "..kwwwwwwwwwwk..", "..kwwwwwwwwwwk..", "..kkkkkkkkkkkk..", "................",
};

// A message page crossed out in red: an archived message that was deleted from the store.
constexpr Picture kDeletedPage = {
    "................", "..kkkkkkkkk.....", "..kwwwwwwwkk....", "..kwwwwwwwkwk...", "rrkwbbbbwwkkrr..",
    ".rrrwwwwwwwrrk..", "..krrbbbbbrrwk..", "..kwrrwwwrrwwk..", "..kwbrrbrrbbwk..", "..kwwwrrrwwwwk..",
    "..kwbrrbrrwwwk..", "..kwrrwwwrrwwk..", "..rrwwwwwwrrwk..", ".rrkkkkkkkkrrk..", "rr..........rr..",
};

constexpr Picture kEmptyBox = {
    "................", ".kkkkkkkkkkkkk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..",
    ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..",
    ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kkkkkkkkkkkkk..", "................",
};

constexpr Picture kTickedBox = {
    "................", ".kkkkkkkkkkkkk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwkwk..", ".kwwwwwwwwkkwk..",
    ".kwwwwwwwkkkwk..", ".kwkwwwwkkkwwk..", ".kwkkwwkkkwwwk..", ".kwkkkkkkwwwwk..", ".kwwkkkkwwwwwk..",
    ".kwwwkkwwwwwwk..", ".kwwwwwwwwwwwk..", ".kwwwwwwwwwwwk..", ".kkkkkkkkkkkkk..", "................",
};

constexpr Picture kTickedBoxOnGrey = {
    "................", ".kkkkkkkkkkkkk..", ".kgggggggggggk..", ".kgggggggggkgk..", ".kggggggggkkgk..",
    ".kgggggggkkkgk..", ".kgkggggkkkggk..", ".kgkkggkkkgggk..", ".kgkkkkkkggggk..", ".kggkkkkgggggk..",
    ".kgggkkggggggk..", ".kgggggggggggk..", ".kgggggggggggk..", ".kkkkkkkkkkkkk..", "................",
};

COLORREF ColourOf(char c) {
    switch (c) {
        case 'k': return RGB(0, 0, 0);
        case 'w': return RGB(255, 255, 255);
        case 'g': return RGB(192, 192, 192);
        case 'o': return RGB(160, 120, 0);
        case 'y': return RGB(255, 220, 90);
        case 'b': return RGB(0, 64, 160);
        case 'r': return RGB(208, 0, 0);
        default: return RGB(0, 255, 0);
    }
}

// The pictures side by side as one strip.
Bitmap Strip(std::initializer_list<const Picture*> pictures) {
    Bitmap bitmap;
    bitmap.width = static_cast<int>(16 * pictures.size());
    bitmap.height = 15;
    bitmap.pixels.reserve(static_cast<std::size_t>(bitmap.width) * 15);
    for (std::size_t y = 0; y < 15; ++y) {
        for (const Picture* picture : pictures) {
            for (char c : (*picture)[y]) bitmap.pixels.push_back(ColourOf(c));
        }
    }
    return bitmap;
}

}  // namespace

std::optional<Bitmap> LoadBitmapW(int resourceId) {
    switch (resourceId) {
        case 124: return Strip({&kOpenFolder, &kClosedFolder, &kDeletedPage, &kUnused, &kMessagePage});
        case 115: return Strip({&kUnused, &kEmptyBox, &kTickedBox, &kTickedBoxOnGrey});
        default: return std::nullopt;
    }
}

std::optional<ImageList> ImageList_Create(int width, int height, std::uint32_t, int, int) {
    if (faults::Hit("ImageList_Create") || width <= 0 || height <= 0) return std::nullopt;
    return ImageList(width, height);
}

int ImageList_AddMasked(ImageList& list, const Bitmap& bitmap, COLORREF mask) {
    if (faults::Hit("ImageList_AddMasked")) return -1;
    if (bitmap.height != list.height_ || bitmap.width <= 0 || bitmap.width % list.width_ != 0 ||
        bitmap.pixels.size() != static_cast<std::size_t>(bitmap.width) * static_cast<std::size_t>(bitmap.height)) {
        return -1;
    }
    const int first = static_cast<int>(list.images_.size());
    for (int left = 0; left < bitmap.width; left += list.width_) {
        Image image;
        image.width = list.width_;
        image.height = list.height_;
        for (int y = 0; y < bitmap.height; ++y) {
            for (int x = left; x < left + list.width_; ++x) {
                const COLORREF pixel = bitmap.pixels[static_cast<std::size_t>(y * bitmap.width + x)];
                image.pixels.push_back(pixel);
                image.transparent.push_back(pixel == mask);
            }
        }
        list.images_.push_back(std::move(image));
    }
    return first;
}

int ImageList_GetImageCount(const ImageList& list) { return static_cast<int>(list.Images().size()); }

}  // namespace platform::images
