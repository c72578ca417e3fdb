// An image file's pixels in memory, and how reading or writing one failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "tm_sample_type.h"

// std::allocator, except that sizing a vector leaves trivial elements
// uninitialised: an image buffer is written once, by the code that fills it,
// and its pages are not touched (committed) ahead of that. Values passed to
// assign, resize(n, v) or an initialiser list are still copied in.
template <typename T>
struct TMUninitAllocator {
    using value_type = T;

    TMUninitAllocator() = default;
    template <typename U>
    TMUninitAllocator(const TMUninitAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }

    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value)
    {
        ::new (static_cast<void*>(p)) U; // default-, not value-initialisation
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const TMUninitAllocator<U>&) const noexcept
    {
        return true;
    }
    template <typename U>
    bool operator!=(const TMUninitAllocator<U>&) const noexcept
    {
        return false;
    }
};

// The sample storage of TMImage: a std::vector whose resize does not write.
template <typename T>
using TMSampleVector = std::vector<T, TMUninitAllocator<T>>;

// Interleaved pixels, rows top to bottom, `channels` samples per pixel, no padding.
// Exactly one of the sample vectors is in use, chosen by `type`.
struct TMImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    TMSampleType type = TMSampleType::Float32;
    TMSampleVector<float> f32;
    TMSampleVector<uint16_t> u16;
    TMSampleVector<uint8_t> u8;
    // Everything about the file besides its pixels: attributes, channel names,
    // alpha channel, data and display windows. Its pixel fields are not used.
    OIIO::ImageSpec meta;

    int64_t sampleCount() const { return int64_t{width} * height * channels; }
    // Sizes the vector that `type` selects, leaving its samples unwritten: the
    // caller writes every one. The other vectors are emptied and released.
    void allocate(TMSampleType t, int32_t w, int32_t h, int32_t c);
};

// Planes the filter works on in an image of `channels` channels: 3 (red, green, blue)
// for colour, 1 for grey; the channels after them keep their values.
int32_t TMFilterPlaneCount(int32_t channels);

// Why a file could not be read or written. exitCode is 1 for failures (missing
// file, I/O error, corrupt data) and 2 for files the tool refuses by design.
struct TMFileError {
    int exitCode = 1;
    std::string message;
};

// The refusal of 8-bit (and lower) images, word for word as the plug-in shows it.
extern const char* const kTM8BitRefusal;
