// The simulator's transcript: one line per event on the line, written at
// once, and kept in memory for a simulator in a test's process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace icd2sim {

// The event log, one line per event; noise bytes are gathered into one RAW
// line until the next event.
class Transcript {
  public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    std::string open(const std::string& path);
    // Keeps every line in memory too, for a simulator in the test's process.
    void keep() { keep_ = true; }
    // The lines kept, each with its newline.
    const std::string& kept() const { return kept_; }
    void line(const std::string& text);
    void raw(uint8_t byte);
    void flush_raw();

  private:
    FILE* file_ = nullptr;
    std::string pending_raw_;
    bool keep_ = false;
    std::string kept_;
};

// Bytes as transcript text: printable characters as they are, everything
// else (and blanks and backslashes, which would break the tokens) as \xHH.
std::string escape(const std::string& bytes);

}  // namespace icd2sim
