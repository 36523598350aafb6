// Bitmaps and image lists, as the device's graphics calls give them.
//
// A bitmap resource is a strip of equally wide pictures, by resource number. An image list
// holds pictures of one size; adding a strip with a mask colour cuts it into pictures of the
// list's width and marks every pixel of that colour transparent. Tree controls show their
// items' images and state images from image lists (tree.h).
//
// The program's bitmaps (all 15 pixels high, green 0,255,0 is transparent):
//   124  five 16-pixel pictures: 0 open folder, 1 closed folder, 2 and 3 unused, 4 message page
//   115  four 16-pixel pictures: 0 unused, 1 empty box, 2 ticked box, 3 ticked box on grey
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform::images {

// A colour as 0x00BBGGRR.
using COLORREF = std::uint32_t;
constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}

struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels;  // row by row from the top, width × height
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels;   // row by row from the top
    std::vector<bool> transparent;  // parallel to pixels
};

class ImageList {
public:
    ImageList(int width, int height) : width_(width), height_(height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    const std::vector<Image>& Images() const { return images_; }

private:
    friend int ImageList_AddMasked(ImageList& list, const Bitmap& bitmap, COLORREF mask);
    int width_;
    int height_;
    std::vector<Image> images_;
};

// Image-list flags the program uses.
constexpr std::uint32_t ILC_MASK = 0x0001;
constexpr std::uint32_t ILC_COLOR = 0x0000;

// The program's bitmap resource of that number; nothing for an unknown number.
std::optional<Bitmap> LoadBitmapW(int resourceId);

// An empty list of `width` × `height` pictures; nothing when it cannot be made (fault
// "ImageList_Create").
std::optional<ImageList> ImageList_Create(int width, int height, std::uint32_t flags, int initial, int grow);

// Cuts the bitmap into pictures of the list's size, pixels of `mask` transparent, and appends
// them; returns the index of the first, or -1 (nothing added) when the bitmap's height is not
// the list's or its width no multiple of the list's (fault "ImageList_AddMasked").
int ImageList_AddMasked(ImageList& list, const Bitmap& bitmap, COLORREF mask);

int ImageList_GetImageCount(const ImageList& list);

}  // namespace platform::images
