#pragma once

// For tests that run the built programs as a user does: where a program lies in the build
// tree, a shell command's exit status and output, and a scratch directory for the files the
// program reads and writes, removed with its contents at the end. POSIX only.

#ifndef _WIN32

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace vita49::test {

// A program of the build tree by its folder there ("tools/dump/vita49-dump"): the tests run
// from tests/, one level below.
inline std::string BuiltProgram(const std::string& relative) {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / relative).string();
}

struct ToolRun {
    int status = -1; // the exit status; -1 when the command did not exit by itself
    std::string out;
};

// Runs `command` with /bin/sh; `out` is what it wrote to standard output.
inline ToolRun RunShell(const std::string& command) {
    ToolRun r;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class ScratchDir {
public:
    // `prefix` names the test in /tmp, so that a directory left by a killed run says whose it is.
    explicit ScratchDir(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Made() const { return !dir_.empty(); }
    const std::string& Dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Write(const std::vector<std::uint8_t>& bytes, const std::string& name) const {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }

private:
    std::string dir_;
};

} // namespace vita49::test

#endif
