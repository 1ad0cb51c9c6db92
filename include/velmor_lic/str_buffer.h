// Growable byte buffer with separate read and write indices.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>

// The library is compiled with hidden visibility; what this header declares
// is its exported interface.
#pragma GCC visibility push(default)
namespace velmor_lic {

// One contiguous block of storage, appended to at the write index and consumed
// from the read index:
//
//   | consumed       | readable             | writable (free)        |
//   0          m_read_idx             m_write_idx               m_buffer_len
//
// Normally 0 <= m_read_idx <= m_write_idx <= m_buffer_len; the predicates and
// byte counts read a broken order as "nothing" (0), never as a wrapped count.
// Growth doubles the capacity, driven by the write index, and copies the whole
// old storage, consumed bytes included; only Clear, Compact and
// DiscardReadedBytes reclaim consumed space. Nothing lowers the capacity.
//
// Indices that operations take or return are absolute, counted from the first
// byte of the storage. Counts returned as int are capped at INT_MAX.
//
// Errors: operations that may need memory return false or -1 when the heap
// refuses, leaving the buffer as it was; ReadFD and WriteFD return the system
// call's negative result and put errno in `err`. Nothing throws or prints.
//
// Storage comes from malloc when the buffer obtains it (m_in_heap true) and is
// then freed by the buffer; storage handed in by the caller is never freed.
class Buffer {
public:
    static const size_t DEFAULT_BUFFER_SIZE = 4096;
    static const int BUFFER_MAX_READ = 8192;  // kept for callers; unused here

    // Owned storage of DEFAULT_BUFFER_SIZE bytes (none if the heap refused).
    Buffer();
    // Uses the caller's `capacity` bytes at `storage`, of which the first
    // `write_index` are content; never frees them, and moves to owned storage
    // at the first growth. Negative sizes count as 0; `write_index` is capped
    // at `capacity`; a null `storage` means no storage.
    Buffer(char* storage, int capacity, int write_index);
    // Owned storage of exactly `capacity` bytes (none for 0 or if the heap refused).
    explicit Buffer(size_t capacity);
    ~Buffer();

    // A copy would share or double-free the storage.
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // ---- indices and sizes ------------------------------------------------
    size_t GetWriteIndex() const { return m_write_idx; }
    size_t GetReadIndex() const { return m_read_idx; }
    bool Readable() const { return m_read_idx < m_write_idx; }
    bool Writeable() const { return m_write_idx < m_buffer_len; }
    size_t ReadableBytes() const { return Readable() ? m_write_idx - m_read_idx : 0; }
    size_t WriteableBytes() const { return Writeable() ? m_buffer_len - m_write_idx : 0; }
    // Same as ReadableBytes.
    size_t length() const { return ReadableBytes(); }
    size_t Capacity() const { return m_buffer_len; }

    // Start of the storage (index 0, not the read position); null without storage.
    const char* GetRawBuffer() const { return m_buffer; }
    // The read position and the write position in the storage.
    const char* GetRawReadBuffer() const { return m_buffer + m_read_idx; }
    const char* GetRawWriteBuffer() const { return m_buffer + m_write_idx; }

    // Both indices to 0; storage and capacity kept.
    void Clear() { m_read_idx = m_write_idx = 0; }
    // Adds `step` (signed) to the write index, kept within [0, capacity]: the
    // counts never reach past the storage, whatever the caller asks.
    void AdvanceWriteIndex(int step) {
        if (step < 0) {
            const size_t back = static_cast<size_t>(-static_cast<long long>(step));
            m_write_idx = back > m_write_idx ? 0 : m_write_idx - back;
        } else {
            m_write_idx = m_buffer_len - m_write_idx < static_cast<size_t>(step)
                              ? m_buffer_len
                              : m_write_idx + static_cast<size_t>(step);
        }
    }
    // Moves the read index by `step` (signed), kept within [0, write index].
    void AdvanceReadIndex(int step);
    // Sets the read index, capped at the write index.
    void SetReadIndex(size_t index);
    // Sets the write index, capped at the capacity; the read index follows it
    // down when it would lie beyond it.
    void SetWriteIndex(size_t index);
    // Brings broken indices back in bounds: write index <= capacity and read
    // index <= write index.
    void Limit();

    // Makes at least `minWritableBytes` bytes free, doubling the capacity from
    // its current value (4096 when 0) until the write index plus the request
    // fits. `growzero` zero-fills the new storage beyond the old bytes. False
    // when the heap refuses or no doubling fits in size_t; unchanged then.
    bool EnsureWritableBytes(size_t minWritableBytes, bool growzero = false);
    // Makes the capacity at least `capacity` bytes by the same doubling rule;
    // false as EnsureWritableBytes.
    bool Reserve(size_t capacity);
    // Moves the readable content to index 0 when at least `min_consumed`
    // bytes have been consumed (after Limit); returns the bytes reclaimed, 0
    // when nothing moved.
    size_t Compact(size_t min_consumed);
    // Moves the readable content to index 0 (reclaims all consumed bytes).
    void DiscardReadedBytes();

    // ---- appending ----------------------------------------------------------
    // Appends `datlen` bytes (which may lie in this buffer); returns datlen or -1.
    int Write(const void* data_in, size_t datlen) {
        // Fits without growth: no block is freed, so memmove covers bytes of this buffer too.
        if (datlen != 0 && datlen <= WriteableBytes() && datlen <= kIntMax && data_in != nullptr) {
            std::memmove(m_buffer + m_write_idx, data_in, datlen);
            m_write_idx += datlen;
            return static_cast<int>(datlen);
        }
        return WriteGrowing(data_in, datlen);
    }
    // Appends up to `datlen` readable bytes of `src` and consumes them there;
    // returns the count moved, or -1 (null `src`, heap refused; nothing moved).
    int Write(Buffer* src, size_t datlen);
    // Appends one byte; returns 1 or -1.
    int WriteByte(char c);
    // Makes a copy of the `datlen` bytes at `data` the whole content (read
    // index 0); false when the heap refuses or `data` is null with datlen > 0,
    // the content then unchanged.
    bool WrapReadableContent(const void* data, size_t datlen);
    // Overwrites `datlen` already written bytes from absolute index `index` on,
    // indices unchanged; returns datlen, or -1 when the range is not within
    // [0, write index) or `data` is null.
    int SetBytes(const void* data, size_t datlen, size_t index);

    // Appends printf-style text; returns its length, or -1 with nothing
    // appended (heap refused, formatting error, text longer than INT_MAX / 2).
    int Printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int VPrintf(const char* fmt, va_list ap);
    // Appends `str` double-quoted with C escapes (\a \b \t \n \r \" \\, other
    // bytes outside 0x20..0x7E as \xhh); returns ReadableBytes() afterwards.
    int PrintString(const std::string& str);

    // One readv from `fd` into the free space plus a 64 KiB overflow area whose
    // part that arrived is appended. Returns the byte count (0 at end of file),
    // or the negative result with errno in `err` and nothing changed. When the
    // heap refuses the overflow, returns -1 with `err` ENOMEM, the buffer as
    // it was: the bytes of that read are gone from `fd`, and the result says so.
    int ReadFD(int fd, int& err);

    // ---- consuming ------------------------------------------------------------
    // One write of the readable bytes (at most INT_MAX) to `fd`; consumes what
    // was written and returns its count, 0 without a system call when empty,
    // or the negative result with errno in `err` and nothing consumed.
    int WriteFD(int fd, int& err);
    // Copies up to `datlen` readable bytes to `data_out` and consumes them;
    // returns the count.
    int Read(void* data_out, size_t datlen);
    // Moves up to `datlen` readable bytes to the end of `dst`; returns the
    // count, or -1 (null `dst`, heap refused; nothing moved).
    int Read(Buffer* dst, size_t datlen);
    // Consumes one byte into `c`; false when nothing is readable.
    bool ReadByte(char& c);
    // As Read, without consuming.
    int Copyout(void* data_out, size_t datlen) const;
    int Copyout(Buffer* dst, size_t datlen) const;
    // Consumes up to `datlen` bytes.
    void SkipBytes(size_t datlen);

    // ---- searching and viewing ----------------------------------------------
    // Absolute index of the first occurrence of the `len` bytes at `data`
    // within storage indices [start, end); -1 when there is none, when `data`
    // is null or `len` 0, when `end` lies beyond the write index, or when the
    // index does not fit an int.
    int IndexOf(const void* data, size_t len, size_t start, size_t end) const;
    // The same over the readable content.
    int IndexOf(const void* data, size_t len) const;
    // The readable bytes, NUL bytes included.
    std::string AsString() const;
    // The readable content as a NUL-terminated text (cut at an embedded NUL).
    // Writes the terminator into the free space; a full buffer first grows by
    // the doubling rule. "" without storage, with indices out of bounds, or
    // when a full buffer cannot grow.
    const char* c_str() const;

private:
    static const size_t kIntMax = 0x7fffffff;

    int WriteGrowing(const void* data_in, size_t datlen);
    // Replaces the storage by a block of the first doubling of the capacity
    // (4096 when 0) that reaches `required`; false when none fits or malloc fails.
    bool GrowTo(size_t required, bool growzero) const;
    void AppendEscaped(unsigned char byte);

    // mutable: c_str may have to grow a full buffer to make room for its NUL.
    mutable char* m_buffer;
    mutable size_t m_buffer_len;
    size_t m_write_idx;
    size_t m_read_idx;
    mutable bool m_in_heap;
};

}  // namespace velmor_lic
#pragma GCC visibility pop
