// Fuzzer for KCProcStat::Parse over any bytes.
//
// The input is cut at its first NUL into two status lines, parsed one after
// the other into the same record. A line with four or more space-separated
// fields fills the record by the tokenising rule; one with fewer fails with
// its own message and leaves the earlier values in place.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "popen_cmd.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Runs of bytes other than a single space; nothing else separates.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
        const size_t begin = line.find_first_not_of(' ', at);
        if (begin == std::string::npos) break;
        size_t end = line.find(' ', begin);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(begin, end - begin));
        at = end;
    }
    return fields;
}

// The field without every leading and trailing '(' and ')'.
std::string StripParens(const std::string& field) {
    size_t begin = 0, end = field.size();
    while (begin < end && (field[begin] == '(' || field[begin] == ')')) ++begin;
    while (end > begin && (field[end - 1] == '(' || field[end - 1] == ')')) --end;
    return field.substr(begin, end - begin);
}

// The low 32 bits of what strtoull makes of the field, as the record keeps it.
uint32_t Id(const std::string& field) { return static_cast<uint32_t>(std::strtoull(field.c_str(), nullptr, 10)); }

struct Expected {
    std::string text;  // what String() yields
    std::string name;
    pid_t ppid;
};

void ParseAndCheck(velmor_lic::KCProcStat& record, const std::string& line, Expected& expected) {
    const std::vector<std::string> fields = Fields(line);
    const bool parsed = record.Parse(line.c_str());
    if (fields.size() < 4) {
        Check(!parsed);
        const std::string message = "get buf is not valid ,size < 4,buf:" + line;
        Check(std::string(record.getErr()) == message.substr(0, 1022));
    } else {
        Check(parsed);
        expected.name = StripParens(fields[1]);
        expected.ppid = static_cast<pid_t>(Id(fields[3]));
        expected.text = "pid:" + std::to_string(Id(fields[0])) + ",bin:" + expected.name + ",state:" + fields[2] +
                        ",ppid:" + std::to_string(Id(fields[3]));
    }
    Check(record.String() == expected.text);
    Check(record.GetbinName() == expected.name);
    Check(record.GetPpid() == expected.ppid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string first = input.substr(0, cut);
    const std::string second = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    velmor_lic::KCProcStat record;
    Expected expected{"pid:0,bin:,state:,ppid:0", "", 0};
    ParseAndCheck(record, first, expected);
    ParseAndCheck(record, second.substr(0, second.find('\0')), expected);
    return 0;
}
