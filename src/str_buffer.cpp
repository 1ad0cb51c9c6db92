#include "str_buffer.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmor_lic {

namespace {

const size_t kOverflowAreaSize = 65536;
const size_t kPrintfReserve = 64;

int CapToInt(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

}  // namespace

const size_t Buffer::DEFAULT_BUFFER_SIZE;
const int Buffer::BUFFER_MAX_READ;
const size_t Buffer::kIntMax;

Buffer::Buffer() : m_buffer(nullptr), m_buffer_len(0), m_write_idx(0), m_read_idx(0), m_in_heap(true) {
    EnsureWritableBytes(DEFAULT_BUFFER_SIZE, false);
}

Buffer::Buffer(char* storage, int capacity, int write_index)
    : m_buffer(nullptr), m_buffer_len(0), m_write_idx(0), m_read_idx(0), m_in_heap(false) {
    if (storage == nullptr || capacity <= 0) return;
    m_buffer = storage;
    m_buffer_len = static_cast<size_t>(capacity);
    m_write_idx = write_index <= 0 ? 0 : std::min(static_cast<size_t>(write_index), m_buffer_len);
}

Buffer::Buffer(size_t capacity) : m_buffer(nullptr), m_buffer_len(0), m_write_idx(0), m_read_idx(0), m_in_heap(true) {
    if (capacity == 0) return;
    m_buffer = static_cast<char*>(std::malloc(capacity));
    if (m_buffer != nullptr) m_buffer_len = capacity;
}

Buffer::~Buffer() {
    if (m_buffer != nullptr && m_in_heap) std::free(m_buffer);
}

// ---- indices ----------------------------------------------------------------

void Buffer::AdvanceReadIndex(int step) {
    if (step < 0) {
        const size_t back = static_cast<size_t>(-static_cast<long long>(step));
        m_read_idx = back > m_read_idx ? 0 : m_read_idx - back;
    } else {
        m_read_idx = std::min(m_read_idx + static_cast<size_t>(step), m_write_idx);
    }
}

void Buffer::SetReadIndex(size_t index) { m_read_idx = std::min(index, m_write_idx); }

void Buffer::SetWriteIndex(size_t index) {
    m_write_idx = std::min(index, m_buffer_len);
    if (m_read_idx > m_write_idx) m_read_idx = m_write_idx;
}

void Buffer::Limit() {
    if (m_write_idx > m_buffer_len) m_write_idx = m_buffer_len;
    if (m_read_idx > m_write_idx) m_read_idx = m_write_idx;
}

// ---- storage ------------------------------------------------------------------

bool Buffer::GrowTo(size_t required, bool growzero) const {
    size_t capacity = m_buffer_len != 0 ? m_buffer_len : DEFAULT_BUFFER_SIZE;
    while (capacity < required) {
        if (capacity > SIZE_MAX / 2) return false;
        capacity *= 2;
    }
    const size_t kept = m_buffer != nullptr ? m_buffer_len : 0;
    char* block;
    if (m_buffer != nullptr && m_in_heap) {
        // realloc keeps all old bytes and may extend in place or remap pages
        // instead of copying; on failure the old block stays as it was.
        block = static_cast<char*>(std::realloc(m_buffer, capacity));
        if (block == nullptr) return false;
    } else {
        block = static_cast<char*>(std::malloc(capacity));
        if (block == nullptr) return false;
        if (kept > 0) std::memcpy(block, m_buffer, kept);
    }
    // The kept part would be overwritten anyway; zeroing the rest is the same result.
    if (growzero) std::memset(block + kept, 0, capacity - kept);
    m_in_heap = true;
    m_buffer = block;
    m_buffer_len = capacity;
    return true;
}

bool Buffer::EnsureWritableBytes(size_t minWritableBytes, bool growzero) {
    if (WriteableBytes() >= minWritableBytes) return true;
    if (minWritableBytes > SIZE_MAX - m_write_idx) return false;
    return GrowTo(m_write_idx + minWritableBytes, growzero);
}

bool Buffer::Reserve(size_t capacity) {
    if (capacity <= m_buffer_len) return true;
    return GrowTo(capacity, false);
}

size_t Buffer::Compact(size_t min_consumed) {
    Limit();
    if (m_read_idx == 0 || m_read_idx < min_consumed) return 0;
    const size_t reclaimed = m_read_idx;
    const size_t readable = m_write_idx - m_read_idx;
    if (readable > 0) std::memmove(m_buffer, m_buffer + m_read_idx, readable);
    m_read_idx = 0;
    m_write_idx = readable;
    return reclaimed;
}

void Buffer::DiscardReadedBytes() { Compact(0); }

// ---- appending ----------------------------------------------------------------

int Buffer::WriteGrowing(const void* data_in, size_t datlen) {
    if (datlen == 0) return 0;
    if (data_in == nullptr) return -1;
    const char* src = static_cast<const char*>(data_in);
    // Bytes from this very buffer must be found again after growth frees the old block.
    const uintptr_t base = reinterpret_cast<uintptr_t>(m_buffer);
    const uintptr_t at = reinterpret_cast<uintptr_t>(src);
    const bool own = m_buffer != nullptr && at >= base && at - base < m_buffer_len;
    if (datlen > WriteableBytes()) {
        const size_t offset = at - base;
        if (!EnsureWritableBytes(datlen, false)) return -1;
        if (own) src = m_buffer + offset;
    }
    if (own) {
        std::memmove(m_buffer + m_write_idx, src, datlen);
    } else {
        std::memcpy(m_buffer + m_write_idx, src, datlen);
    }
    m_write_idx += datlen;
    return CapToInt(datlen);
}

int Buffer::Write(Buffer* src, size_t datlen) {
    if (src == nullptr) return -1;
    const size_t n = std::min({datlen, src->ReadableBytes(), static_cast<size_t>(INT_MAX)});
    if (Write(src->m_buffer + src->m_read_idx, n) < 0) return -1;
    src->m_read_idx += n;
    return static_cast<int>(n);
}

int Buffer::WriteByte(char c) { return Write(&c, 1); }

bool Buffer::WrapReadableContent(const void* data, size_t datlen) {
    if (data == nullptr && datlen > 0) return false;
    const size_t old_read = m_read_idx;
    const size_t old_write = m_write_idx;
    m_read_idx = 0;
    m_write_idx = 0;
    if (Write(data, datlen) < 0) {
        m_read_idx = old_read;
        m_write_idx = old_write;
        return false;
    }
    return true;
}

int Buffer::SetBytes(const void* data, size_t datlen, size_t index) {
    // The write index never passes the capacity, so the range lies in the storage.
    if (data == nullptr || index > m_write_idx || datlen > m_write_idx - index) {
        return -1;
    }
    if (datlen > 0) std::memmove(m_buffer + index, data, datlen);
    return CapToInt(datlen);
}

int Buffer::Printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = VPrintf(fmt, ap);
    va_end(ap);
    return n;
}

int Buffer::VPrintf(const char* fmt, va_list ap) {
    if (!EnsureWritableBytes(kPrintfReserve, false)) return -1;
    for (;;) {
        const size_t space = WriteableBytes();
        va_list attempt;
        va_copy(attempt, ap);
        const int sz = std::vsnprintf(m_buffer + m_write_idx, space, fmt, attempt);
        va_end(attempt);
        if (sz < 0) return -1;
        if (static_cast<size_t>(sz) < space) {
            m_write_idx += static_cast<size_t>(sz);
            return sz;
        }
        // The retry asks for twice the length, which must still be an int.
        if (sz > INT_MAX / 2) return -1;
        if (!EnsureWritableBytes(2 * static_cast<size_t>(sz), false)) return -1;
    }
}

namespace {

// How PrintString renders one byte. `formatted` pieces go through Printf and
// so need 64 free bytes before they are appended; the others are plain writes.
struct Escape {
    char text[4];
    unsigned char size;
    bool formatted;
};

struct EscapeTable {
    Escape entry[256] = {};
    EscapeTable() {
        static const char kHex[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            Escape& e = entry[b];
            const char c = static_cast<char>(b);
            const char* letter = nullptr;
            switch (b) {
                case 0x07: letter = "a"; break;
                case 0x08: letter = "b"; break;
                case 0x09: letter = "t"; break;
                case 0x0A: letter = "n"; break;
                case 0x0D: letter = "r"; break;
                default: break;
            }
            if (letter != nullptr) {
                e = Escape{{'\\', letter[0], 0, 0}, 2, false};
            } else if (b == '"' || b == '\\') {
                e = Escape{{'\\', c, 0, 0}, 2, true};
            } else if (b >= 0x20 && b <= 0x7E) {  // isprint in the POSIX locale
                e = Escape{{c, 0, 0, 0}, 1, true};
            } else {
                e = Escape{{'\\', 'x', kHex[b >> 4], kHex[b & 15]}, 4, true};
            }
        }
    }
};

const EscapeTable& Escapes() {
    static const EscapeTable table;
    return table;
}

}  // namespace

void Buffer::AppendEscaped(unsigned char byte) {
    const Escape& e = Escapes().entry[byte];
    if (!e.formatted) {
        Write(e.text, e.size);
    } else if (e.size == 4) {
        Printf("\\x%02x", static_cast<unsigned>(byte));
    } else if (e.size == 2) {
        Printf("\\%c", static_cast<char>(byte));
    } else {
        Printf("%c", static_cast<char>(byte));
    }
}

int Buffer::PrintString(const std::string& str) {
    // Escapes a chunk at a time into local storage, then grows exactly as the
    // piecewise appends would have: each formatted piece needs 64 free bytes.
    const EscapeTable& table = Escapes();
    const size_t kChunkInput = 1024;
    char out[kChunkInput * 4];
    Write("\"", 1);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(str.data());
    size_t remaining = str.size();
    while (remaining > 0) {
        const size_t take = std::min(remaining, kChunkInput);
        size_t used = 0;
        size_t need = 0;
        for (size_t k = 0; k < take; ++k) {
            const Escape& e = table.entry[in[k]];
            if (e.formatted) need = used + kPrintfReserve;
            std::memcpy(out + used, e.text, 4);
            used += e.size;
        }
        need = std::max(need, used);
        if (EnsureWritableBytes(need, false)) {
            std::memcpy(m_buffer + m_write_idx, out, used);
            m_write_idx += used;
        } else {
            // Short of memory: append piece by piece, keeping what fits.
            for (size_t k = 0; k < take; ++k) AppendEscaped(in[k]);
        }
        in += take;
        remaining -= take;
    }
    Write("\"", 1);
    return CapToInt(ReadableBytes());
}

int Buffer::ReadFD(int fd, int& err) {
    char extrabuf[kOverflowAreaSize];
    const size_t writable = WriteableBytes();
    struct iovec vec[2];
    vec[0].iov_base = writable > 0 ? m_buffer + m_write_idx : nullptr;
    // One read can never return more than an int can hold.
    vec[0].iov_len = std::min(writable, static_cast<size_t>(INT_MAX) - kOverflowAreaSize);
    vec[1].iov_base = extrabuf;
    vec[1].iov_len = sizeof(extrabuf);
    const int iovcnt = writable <= kOverflowAreaSize ? 2 : 1;
    const ssize_t n = ::readv(fd, vec, iovcnt);
    if (n < 0) {
        err = errno;
        return static_cast<int>(n);
    }
    const size_t got = static_cast<size_t>(n);
    if (got <= writable) {
        m_write_idx += got;
        return static_cast<int>(n);
    }
    const size_t old_write = m_write_idx;
    m_write_idx = m_buffer_len;
    if (Write(extrabuf, got - writable) < 0) {
        // A count of bytes that were not kept would be a lie.
        m_write_idx = old_write;
        err = ENOMEM;
        return -1;
    }
    return static_cast<int>(n);
}

// ---- consuming ----------------------------------------------------------------

int Buffer::WriteFD(int fd, int& err) {
    // More than INT_MAX readable bytes would wrap as an int count: offer INT_MAX.
    const size_t count = std::min(ReadableBytes(), static_cast<size_t>(INT_MAX));
    if (count == 0) return 0;
    const ssize_t n = ::write(fd, m_buffer + m_read_idx, count);
    if (n < 0) {
        err = errno;
        return static_cast<int>(n);
    }
    m_read_idx += static_cast<size_t>(n);
    return static_cast<int>(n);
}

int Buffer::Copyout(void* data_out, size_t datlen) const {
    const size_t n = std::min({datlen, ReadableBytes(), static_cast<size_t>(INT_MAX)});
    if (n > 0) std::memcpy(data_out, m_buffer + m_read_idx, n);
    return static_cast<int>(n);
}

int Buffer::Copyout(Buffer* dst, size_t datlen) const {
    if (dst == nullptr) return -1;
    const size_t n = std::min({datlen, ReadableBytes(), static_cast<size_t>(INT_MAX)});
    return dst->Write(m_buffer + m_read_idx, n);
}

int Buffer::Read(void* data_out, size_t datlen) {
    const int n = Copyout(data_out, datlen);
    m_read_idx += static_cast<size_t>(n);
    return n;
}

int Buffer::Read(Buffer* dst, size_t datlen) {
    if (dst == nullptr) return -1;
    return dst->Write(this, datlen);
}

bool Buffer::ReadByte(char& c) {
    if (!Readable()) return false;
    c = m_buffer[m_read_idx++];
    return true;
}

void Buffer::SkipBytes(size_t datlen) { m_read_idx += std::min(datlen, ReadableBytes()); }

// ---- searching and viewing ------------------------------------------------------

int Buffer::IndexOf(const void* data, size_t len, size_t start, size_t end) const {
    if (data == nullptr || len == 0) return -1;
    if (end < len || start > end - len || end > m_write_idx) return -1;
    // memmem finds the leftmost occurrence, also one that starts inside a
    // failed candidate.
    const void* hit = ::memmem(m_buffer + start, end - start, data, len);
    if (hit == nullptr) return -1;
    const size_t index = static_cast<size_t>(static_cast<const char*>(hit) - m_buffer);
    return index > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(index);
}

int Buffer::IndexOf(const void* data, size_t len) const { return IndexOf(data, len, m_read_idx, m_write_idx); }

std::string Buffer::AsString() const {
    if (!Readable()) return std::string();
    return std::string(m_buffer + m_read_idx, m_write_idx - m_read_idx);
}

const char* Buffer::c_str() const {
    if (m_buffer == nullptr || m_read_idx > m_write_idx) return "";
    // A full buffer has no byte left for the terminator: grow as an append would.
    if (m_write_idx == m_buffer_len && !GrowTo(m_write_idx + 1, false)) return "";
    m_buffer[m_write_idx] = '\0';
    return m_buffer + m_read_idx;
}

}  // namespace velmor_lic
