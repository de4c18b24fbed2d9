// A growable buffer of UTF-16 text, in which the saved registry's text is made. It
// calls the system only for memory (widebuffer.cpp), so that the converter that fills
// it builds for the host as well as for the core library.
#ifndef COREDLL_WIDEBUFFER_H
#define COREDLL_WIDEBUFFER_H

#include <cstddef>
#include <cstdint>

// Memory for text: the process heap in the core library, malloc on the host. Resize
// of NULL allocates.
void *TextAlloc(size_t size);
void *TextResize(void *p, size_t size);
void TextFree(void *p);

// Win32's ERROR_NOT_ENOUGH_MEMORY, which a buffer that cannot grow reports.
constexpr uint32_t kTextOutOfMemory = 8;

// Takes the next LEN units of a text written through a WideBuffer; returns 0 or a
// Win32 error code.
typedef uint32_t (*TextDrain)(void *context, const char16_t *text, size_t len);

// A growable UTF-16 buffer. After a failure it stays failed and ignores further
// appends; error says why (kTextOutOfMemory, or the drain's).
//
// With a drain, the buffer is a window on a text too large to hold: once it is as
// large as it was reserved, what it holds goes to the drain before more is added, and
// Finish hands over the rest. The text is then never whole in memory.
struct WideBuffer {
    char16_t *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool failed = false;
    uint32_t error = 0;
    TextDrain drain = nullptr;
    void *drainContext = nullptr;

    WideBuffer() = default;
    WideBuffer(const WideBuffer &) = delete;
    WideBuffer &operator=(const WideBuffer &) = delete;
    ~WideBuffer();
    // Exchanges contents with another buffer.
    void Swap(WideBuffer *other);
    // Room for EXTRA more units at data + len.
    bool Reserve(size_t extra);
    void Append(const char16_t *s, size_t n);
    // A NUL-terminated text, without its terminator.
    void Append(const char16_t *s);
    void Append(char16_t c)
    {
        if (len < cap || Reserve(1))
            data[len++] = c;
    }
    // Hands what the buffer holds to the drain; returns 0 or the first error.
    uint32_t Finish();
    bool Fail(uint32_t err);
};

#endif
