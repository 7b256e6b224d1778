#pragma once

#include "fake_fsound.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// What a test's code prints on standard output, and the calls a death test's child made,
// kept in files of a temporary directory of the test's own.
class Capture {
  public:
    Capture() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "audio_test.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        dir_ = pattern;
        printedPath_ = (dir_ / "stdout").string();
        callsPath() = (dir_ / "calls").string();
    }
    ~Capture() { std::filesystem::remove_all(dir_); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Runs `body` with standard output going to the capture file; returns what it printed.
    template <typename Body> std::string printedBy(Body body) {
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        redirectStdout();
        body();
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        return printed();
    }

    // In a death test's child: sends standard output to the capture file and writes the
    // child's calls to the calls file when it exits.
    void inChild() {
        redirectStdout();
        std::atexit(writeCalls);
    }

    std::string printed() const {
        std::ifstream in(printedPath_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The calls that a death test's child made, in order.
    std::vector<std::string> childCalls() const {
        std::ifstream in(callsPath());
        std::vector<std::string> calls;
        for (std::string line; std::getline(in, line);)
            calls.push_back(line);
        return calls;
    }

  private:
    void redirectStdout() const {
        const int file = open(printedPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file < 0) std::abort();
        dup2(file, STDOUT_FILENO);
        close(file);
    }
    static std::string& callsPath() {
        static std::string path;
        return path;
    }
    static void writeCalls() {
        std::ofstream out(callsPath());
        for (const std::string& call : gScript.calls)
            out << call << '\n';
    }

    std::filesystem::path dir_;
    std::string printedPath_;
};
