// The process status record: the four leading fields of /proc/<pid>/stat.
#include <cstdint>
#include <cstdlib>

#include "popen_cmd.h"

namespace velmor_lic {

bool KCProcStat::Parse(const char* buf) {
    const std::string line = buf ? buf : "";
    const std::vector<std::string> fields = Tokenize(line, " ");
    if (fields.size() < 4) {
        setErr("get buf is not valid ,size < 4,buf:%s", line.c_str());
        return false;
    }
    pid_ = static_cast<pid_t>(static_cast<uint32_t>(std::strtoull(fields[0].c_str(), nullptr, 10)));
    binName_ = Trim(fields[1], "()");
    state_ = fields[2];
    ppid_ = static_cast<pid_t>(static_cast<uint32_t>(std::strtoull(fields[3].c_str(), nullptr, 10)));
    return true;
}

std::string KCProcStat::String() {
    Buffer text;
    text.Printf("pid:%lu,bin:%s,state:%s,ppid:%lu", static_cast<unsigned long>(static_cast<uint32_t>(pid_)),
                binName_.c_str(), state_.c_str(), static_cast<unsigned long>(static_cast<uint32_t>(ppid_)));
    return text.AsString();
}

}  // namespace velmor_lic
