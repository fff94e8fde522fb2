#pragma once
// Standard output of the code under test, through a temporary file, byte for
// byte; no assertion may run while it is captured (gtest writes there too).

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace unit_test {

class CapturedStdout {
public:
    CapturedStdout() {
        std::fflush(stdout);
        saved_ = _dup(1);
        file_ = std::tmpfile();
        _dup2(_fileno(file_), 1);
    }
    std::string Finish() {
        std::fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
        std::string text;
        std::rewind(file_);
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, file_)) text.append(buffer, n);
        std::fclose(file_);
        return text;
    }

private:
    int saved_ = -1;
    FILE* file_ = nullptr;
};

}  // namespace unit_test
