#include "picture.h"

#include <map>

namespace xtnd {

bool Picture::Resize(uint32_t w, uint32_t h) {
  if (w == 0 || h == 0 || static_cast<uint64_t>(w) * h > kMaxPixels) return false;
  width = w;
  height = h;
  rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  return true;
}

uint8_t GreyLevel(const uint8_t* rgb) {
  return static_cast<uint8_t>((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8);
}

void OwnedHostImage::Attach() {
  image.pixels = pixels.empty() ? nullptr : pixels.data();
  image.mask = mask.empty() ? nullptr : mask.data();
  image.palette = palette.data();
}

bool PictureFromHost(const HostImage& image, Picture* out, std::string* reason) {
  const uint32_t w = image.width, h = image.height;
  if (!out->Resize(w, h)) {
    *reason = "the image is empty or too large for this host";
    return false;
  }
  uint64_t needRow = 0;
  switch (image.colorKind) {
    case ColorKindGrey:
    case ColorKindIndexed:
      needRow = w;
      break;
    case ColorKindFullColor:
      needRow = 3ull * w;
      break;
    default:
      break;
  }
  if (needRow == 0 || image.pixels == nullptr || image.rowBytes < needRow ||
      (image.colorKind != ColorKindFullColor && image.bitsPerPixel != 8) ||
      (image.colorKind == ColorKindFullColor && image.bitsPerPixel != 24) ||
      (image.colorKind != ColorKindFullColor && image.palette == nullptr)) {
    *reason = "the plug-in described an image this host cannot show";
    return false;
  }
  const bool masked = image.maskKind != MaskNone && image.mask != nullptr;
  if (masked &&
      ((image.maskKind == MaskEightBit && static_cast<uint64_t>(image.maskRowBytes) < w) ||
       (image.maskKind == MaskOneBit &&
        static_cast<uint64_t>(image.maskRowBytes) < (w + 7ull) / 8) ||
       image.maskRowBytes < 0 || image.maskKind > MaskEightBit)) {
    *reason = "the plug-in described a mask this host cannot show";
    return false;
  }
  out->kind = image.colorKind;
  out->alpha = masked;
  out->resolutionX = image.resolutionX;
  out->resolutionY = image.resolutionY;
  out->backgroundColor = image.backgroundColor;
  if (image.colorKind == ColorKindIndexed) {
    out->palette.assign(image.palette, image.palette + 256);
    out->indices.resize(static_cast<size_t>(w) * h);
  }
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = image.pixels + static_cast<size_t>(y) * image.rowBytes;
    const uint8_t* maskRow =
        masked ? image.mask + static_cast<size_t>(y) * static_cast<uint32_t>(image.maskRowBytes)
               : nullptr;
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = out->At(x, y);
      if (image.colorKind == ColorKindFullColor) {
        p[0] = row[3 * x + 2];
        p[1] = row[3 * x + 1];
        p[2] = row[3 * x];
      } else if (image.colorKind == ColorKindGrey) {
        p[0] = p[1] = p[2] = row[x];
      } else {
        const ColorValue c = image.palette[row[x]];
        out->indices[static_cast<size_t>(y) * w + x] = row[x];
        p[0] = static_cast<uint8_t>(c);
        p[1] = static_cast<uint8_t>(c >> 8);
        p[2] = static_cast<uint8_t>(c >> 16);
      }
      if (maskRow == nullptr) {
        p[3] = 255;
      } else if (image.maskKind == MaskEightBit) {
        p[3] = maskRow[x];
      } else {
        p[3] = (maskRow[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
      }
    }
  }
  return true;
}

namespace {

// The picture's own colours as a palette, when it has at most 256.
bool CollectPalette(const Picture& picture, std::vector<ColorValue>* palette,
                    std::vector<uint8_t>* indices) {
  std::map<ColorValue, uint8_t> seen;
  indices->resize(static_cast<size_t>(picture.width) * picture.height);
  for (size_t i = 0; i < indices->size(); ++i) {
    const uint8_t* p = &picture.rgba[i * 4];
    const ColorValue c = p[0] | (p[1] << 8) | (static_cast<ColorValue>(p[2]) << 16);
    auto found = seen.find(c);
    if (found == seen.end()) {
      if (seen.size() == 256) return false;
      found = seen.emplace(c, static_cast<uint8_t>(seen.size())).first;
      palette->push_back(c);
    }
    (*indices)[i] = found->second;
  }
  return true;
}

}  // namespace

bool HostFromPicture(const Picture& picture, int32_t kind, OwnedHostImage* out,
                     std::string* reason) {
  const uint32_t w = picture.width, h = picture.height;
  if (static_cast<uint64_t>(w) * h > kMaxPixels || w == 0 || h == 0) {
    *reason = "the image is empty or too large for this host";
    return false;
  }
  HostImage& im = out->image;
  im = HostImage();
  im.width = w;
  im.height = h;
  im.resolutionX = picture.resolutionX != 0 ? picture.resolutionX : 2835;
  im.resolutionY = picture.resolutionY != 0 ? picture.resolutionY : 2835;
  im.colorKind = kind;
  switch (kind) {
    case ColorKindBilevel:
      im.bitsPerPixel = 1;
      im.rowBytes = (w + 7) / 8;
      break;
    case ColorKindGrey:
    case ColorKindIndexed:
      im.bitsPerPixel = 8;
      im.rowBytes = w;
      break;
    default:
      im.colorKind = ColorKindFullColor;
      im.bitsPerPixel = 24;
      im.rowBytes = 3 * w;
      break;
  }
  im.paletteCount = 256;
  out->pixels.assign(static_cast<size_t>(im.rowBytes) * h, 0);
  out->palette.assign(256, 0);
  std::vector<uint8_t> ownIndices;
  const std::vector<uint8_t>* indices = &picture.indices;
  if (kind == ColorKindIndexed) {
    if (picture.kind == ColorKindIndexed && picture.palette.size() == 256 &&
        picture.indices.size() == static_cast<size_t>(w) * h) {
      out->palette = picture.palette;
    } else {
      std::vector<ColorValue> palette;
      if (!CollectPalette(picture, &palette, &ownIndices)) {
        *reason =
            "more than 256 colours for an indexed image (--color 256 lets the plug-in "
            "reduce them)";
        return false;
      }
      std::copy(palette.begin(), palette.end(), out->palette.begin());
      indices = &ownIndices;
    }
  }
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = &out->pixels[static_cast<size_t>(y) * im.rowBytes];
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = picture.At(x, y);
      switch (im.colorKind) {
        case ColorKindBilevel:
          if (GreyLevel(p) >= 128) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
          break;
        case ColorKindGrey:
          row[x] = GreyLevel(p);
          break;
        case ColorKindIndexed:
          row[x] = (*indices)[static_cast<size_t>(y) * w + x];
          break;
        default:
          row[3 * x] = p[2];
          row[3 * x + 1] = p[1];
          row[3 * x + 2] = p[0];
          break;
      }
    }
  }
  if (picture.alpha) {
    im.maskKind = MaskEightBit;
    im.maskBits = 8;
    im.maskRowBytes = static_cast<int32_t>(w);
    out->mask.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < out->mask.size(); ++i) out->mask[i] = picture.rgba[i * 4 + 3];
  }
  // The background keeps its meaning only where the kind does not change.
  im.backgroundColor = picture.kind == im.colorKind ? picture.backgroundColor : 0;
  out->Attach();
  return true;
}

}  // namespace xtnd
