// WideBuffer: see widebuffer.h.
#include "widebuffer.h"

#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

void *TextAlloc(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void *TextResize(void *p, size_t size)
{
    return p ? HeapReAlloc(GetProcessHeap(), 0, p, size) : TextAlloc(size);
}

void TextFree(void *p)
{
    if (p)
        HeapFree(GetProcessHeap(), 0, p);
}

static_assert(kTextOutOfMemory == ERROR_NOT_ENOUGH_MEMORY, "the buffer reports Win32's error");
static_assert(sizeof(char16_t) == sizeof(WCHAR), "the text is the system's wide text");
#else
#include <cstdlib>

void *TextAlloc(size_t size)
{
    return malloc(size);
}

void *TextResize(void *p, size_t size)
{
    return realloc(p, size);
}

void TextFree(void *p)
{
    free(p);
}
#endif

WideBuffer::~WideBuffer()
{
    TextFree(data);
}

template <class T> static void Exchange(T &a, T &b)
{
    T t = a;
    a = b;
    b = t;
}

void WideBuffer::Swap(WideBuffer *other)
{
    Exchange(data, other->data);
    Exchange(len, other->len);
    Exchange(cap, other->cap);
    Exchange(failed, other->failed);
    Exchange(error, other->error);
    Exchange(drain, other->drain);
    Exchange(drainContext, other->drainContext);
}

bool WideBuffer::Fail(uint32_t err)
{
    if (!failed) {
        failed = true;
        error = err;
    }
    return false;
}

bool WideBuffer::Reserve(size_t extra)
{
    if (failed)
        return false;
    if (len + extra <= cap)
        return true;
    if (drain && len) {
        uint32_t err = drain(drainContext, data, len);
        len = 0;
        if (err)
            return Fail(err);
        if (extra <= cap)
            return true;
    }
    size_t want = cap ? cap * 2 : 4096;
    while (want < len + extra)
        want *= 2;
    char16_t *p = (char16_t *)TextResize(data, want * sizeof(char16_t));
    if (!p)
        return Fail(kTextOutOfMemory);
    data = p;
    cap = want;
    return true;
}

void WideBuffer::Append(const char16_t *s, size_t n)
{
    if (Reserve(n)) {
        memcpy(data + len, s, n * sizeof(char16_t));
        len += n;
    }
}

void WideBuffer::Append(const char16_t *s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    Append(s, n);
}

uint32_t WideBuffer::Finish()
{
    if (!failed && drain && len) {
        uint32_t err = drain(drainContext, data, len);
        len = 0;
        if (err)
            Fail(err);
    }
    return failed ? error : 0;
}
