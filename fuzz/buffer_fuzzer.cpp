// Model-checking fuzzer for Buffer.
//
// The input is a script: each step picks an operation (Write, Printf,
// PrintString, ReadFD from a pipe, WriteFD to a pipe, IndexOf, Clear, c_str,
// AsString) and its operands. A plain model (the bytes written since the last
// Clear, the read index and the capacity) is updated alongside, and after
// every step the buffer's indices, capacity and storage must equal it.
// Capacities are 4096 * 2^k, doubled from the write index on demand.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "str_buffer.h"

namespace {

using velmor_lic::Buffer;

constexpr size_t kDefaultCapacity = 4096;
constexpr size_t kMaxContent = size_t{1} << 18;  // keeps steps fast
constexpr size_t kOverflowArea = 65536;

void Check(bool ok) {
    if (!ok) std::abort();
}

// Reads operands off the script; an exhausted script reads as zeros.
class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    size_t Word() { return (size_t{Byte()} << 8) | Byte(); }
    std::string Bytes(size_t count) {
        count = std::min(count, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string Pattern(size_t count, uint8_t seed) {
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(seed + i * 7);
    return out;
}

struct Model {
    std::string bytes;  // storage [0, write index)
    size_t read = 0;
    size_t capacity = kDefaultCapacity;

    size_t Write() const { return bytes.size(); }
    std::string Readable() const { return bytes.substr(read); }

    // The capacity after making `need` bytes free at the write index.
    void Ensure(size_t need) {
        if (capacity - Write() >= need) return;
        size_t grown = capacity == 0 ? kDefaultCapacity : capacity;
        while (grown < Write() + need) grown *= 2;
        capacity = grown;
    }
    // Printf's growth: 64 bytes first, then twice a text that did not fit.
    void Format(const std::string& text) {
        Ensure(64);
        if (text.size() >= capacity - Write()) Ensure(2 * text.size());
        bytes += text;
    }
};

bool IsPowerOfTwoTimesDefault(size_t capacity) {
    if (capacity < kDefaultCapacity || capacity % kDefaultCapacity != 0) return false;
    const size_t k = capacity / kDefaultCapacity;
    return (k & (k - 1)) == 0;
}

void CheckAgainst(const Buffer& buffer, const Model& model) {
    Check(buffer.GetWriteIndex() == model.Write());
    Check(buffer.GetReadIndex() == model.read);
    Check(buffer.Capacity() == model.capacity);
    Check(IsPowerOfTwoTimesDefault(buffer.Capacity()));
    Check(buffer.ReadableBytes() == model.Write() - model.read);
    Check(buffer.WriteableBytes() == model.capacity - model.Write());
    Check(buffer.Readable() == (model.read < model.Write()));
    Check(buffer.Writeable() == (model.Write() < model.capacity));
    if (model.Write() > 0) Check(std::memcmp(buffer.GetRawBuffer(), model.bytes.data(), model.Write()) == 0);
}

// The leftmost occurrence within [start, end), by the same bounds as IndexOf.
int ReferenceIndexOf(const Model& model, const char* needle, size_t len, size_t start, size_t end) {
    if (needle == nullptr || len == 0) return -1;
    if (end < start + len || end > model.Write()) return -1;
    for (size_t at = start; at + len <= end; ++at) {
        if (std::memcmp(model.bytes.data() + at, needle, len) == 0) return static_cast<int>(at);
    }
    return -1;
}

// "\"...\"" with the escapes of PrintString.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
            case 0x07: out += "\\a"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0D: out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (byte >= 0x20 && byte <= 0x7E) {
                    out += c;
                } else {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                    out += hex;
                }
        }
    }
    return out + "\"";
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { Check(pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0); }
    ~Pipe() {
        for (const int fd : fds)
            if (fd >= 0) close(fd);
    }
    std::string Drain() const {
        std::string out;
        char chunk[65536];
        for (;;) {
            const ssize_t n = read(fds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }
};

void StepWrite(Buffer& buffer, Model& model, Script& script) {
    const uint8_t shape = script.Byte();
    // Small writes take their bytes from the script, large ones a pattern.
    const std::string data =
        shape < 128 ? script.Bytes(shape % 32) : Pattern(((shape - 128u) << 9) | script.Word() % 512, shape);
    if (model.Write() + data.size() > kMaxContent) return;
    Check(buffer.Write(data.data(), data.size()) == static_cast<int>(data.size()));
    model.Ensure(data.size());
    model.bytes += data;
}

void StepPrintf(Buffer& buffer, Model& model, Script& script) {
    const uint8_t kind = script.Byte() % 3;
    std::string expected;
    int result = 0;
    if (kind == 0) {
        const std::string arg = script.Bytes(script.Byte() % 48);
        const char* text = arg.c_str();  // ends at the first NUL, as printf reads it
        expected = text;
        result = buffer.Printf("%s", text);
    } else if (kind == 1) {
        const int width = static_cast<int>(script.Word() % 20000);
        const int value = static_cast<int8_t>(script.Byte());
        expected.resize(static_cast<size_t>(std::snprintf(nullptr, 0, "%*d", width, value)));
        std::snprintf(&expected[0], expected.size() + 1, "%*d", width, value);
        if (model.Write() + 2 * expected.size() + 64 > kMaxContent) return;
        result = buffer.Printf("%*d", width, value);
    } else {
        const char c = static_cast<char>(script.Byte());
        expected.assign(1, c);  // "%c" of 0 writes a NUL byte into the content
        result = buffer.Printf("%c", c);
    }
    Check(result == static_cast<int>(expected.size()));
    model.Format(expected);
}

void StepPrintString(Buffer& buffer, Model& model, Script& script) {
    const std::string text = script.Bytes(script.Byte() % 40);
    const size_t capacity_before = buffer.Capacity();
    const int result = buffer.PrintString(text);
    model.bytes += Quoted(text);
    Check(result == static_cast<int>(model.Write() - model.read));
    // How many pieces the escaping appends at a time is the buffer's own
    // business; the capacity still follows the doubling rule, never shrinks,
    // and grows no further than small appends of at most 64 bytes need.
    const size_t capacity = buffer.Capacity();
    Check(capacity >= model.Write() && capacity >= capacity_before);
    Check(capacity == capacity_before || capacity <= 2 * (model.Write() + 64));
    model.capacity = capacity;
}

void StepReadFD(Buffer& buffer, Model& model, Script& script) {
    const size_t wanted = script.Word();
    if (model.Write() + wanted + kOverflowArea > kMaxContent) return;
    Pipe pipe;
    const std::string data = Pattern(wanted, static_cast<uint8_t>(wanted));
    const ssize_t put = wanted == 0 ? 0 : write(pipe.fds[1], data.data(), data.size());
    Check(put >= 0);
    if (wanted == 0) {  // end of file
        close(pipe.fds[1]);
        pipe.fds[1] = -1;
    }
    const size_t free_space = model.capacity - model.Write();
    int err = 0;
    const int got = buffer.ReadFD(pipe.fds[0], err);
    Check(got == static_cast<int>(put));
    if (static_cast<size_t>(got) > free_space) {
        model.bytes.resize(model.capacity, '\0');  // the free space is now content...
        model.Ensure(static_cast<size_t>(got) - free_space);
        model.bytes.resize(model.bytes.size() - free_space);  // ...holding the first bytes
    }
    model.bytes += data.substr(0, static_cast<size_t>(got));
}

void StepWriteFD(Buffer& buffer, Model& model, Script& script) {
    int err = 0;
    if (script.Byte() % 8 == 0) {
        Check(buffer.WriteFD(-1, err) == (model.read < model.Write() ? -1 : 0));
        if (model.read < model.Write()) Check(err == EBADF);
        return;
    }
    Pipe pipe;
    const int wrote = buffer.WriteFD(pipe.fds[1], err);
    const std::string drained = pipe.Drain();
    Check(wrote >= 0 && static_cast<size_t>(wrote) == drained.size());
    Check(drained == model.bytes.substr(model.read, drained.size()));
    Check(model.read < model.Write() || wrote == 0);
    model.read += drained.size();
}

void StepIndexOf(Buffer& buffer, Model& model, Script& script) {
    const uint8_t kind = script.Byte();
    const std::string needle = script.Bytes(kind % 6);
    const char* data = kind % 17 == 0 ? nullptr : needle.data();
    if (kind & 0x80) {
        const size_t limit = model.Write() + 3;
        const size_t start = script.Word() % limit;
        const size_t end = script.Word() % limit;
        Check(buffer.IndexOf(data, needle.size(), start, end) ==
              ReferenceIndexOf(model, data, needle.size(), start, end));
    } else {
        Check(buffer.IndexOf(data, needle.size()) ==
              ReferenceIndexOf(model, data, needle.size(), model.read, model.Write()));
    }
}

void StepView(Buffer& buffer, Model& model, Script& script) {
    switch (script.Byte() % 3) {
        case 0:
            buffer.Clear();
            model.bytes.clear();
            model.read = 0;
            break;
        case 1: {
            const std::string readable = model.Readable();
            const std::string text = buffer.c_str();
            Check(text == readable.substr(0, readable.find('\0')));
            // A full buffer, empty or not, grows to make room for the NUL.
            model.Ensure(1);
            break;
        }
        default: Check(buffer.AsString() == model.Readable());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script(data, size);
    Buffer buffer;
    Model model;
    CheckAgainst(buffer, model);
    while (!script.Done()) {
        switch (script.Byte() % 8) {
            case 0: StepWrite(buffer, model, script); break;
            case 1: StepPrintf(buffer, model, script); break;
            case 2: StepPrintString(buffer, model, script); break;
            case 3: StepReadFD(buffer, model, script); break;
            case 4: StepWriteFD(buffer, model, script); break;
            case 5: StepIndexOf(buffer, model, script); break;
            default: StepView(buffer, model, script); break;
        }
        CheckAgainst(buffer, model);
    }
    return 0;
}
