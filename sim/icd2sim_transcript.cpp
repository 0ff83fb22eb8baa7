// The transcript: one line per event on the line, and the escaping of the
// bytes it quotes.

#include "icd2sim_transcript.h"

#include <cerrno>
#include <cstring>

namespace icd2sim {

Transcript::~Transcript() {
    if (file_) {
        flush_raw();
        std::fclose(file_);
    }
}

std::string Transcript::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "we");  // not inherited by the program
    if (!file_) return path + ": " + std::strerror(errno);
    return "";
}

void Transcript::line(const std::string& text) {
    flush_raw();
    if (keep_) kept_ += text + "\n";
    if (!file_) return;
    // Written at once, so that the events up to a crash or a kill survive.
    std::fprintf(file_, "%s\n", text.c_str());
    std::fflush(file_);
}

void Transcript::raw(uint8_t byte) {
    pending_raw_.push_back(static_cast<char>(byte));
}

void Transcript::flush_raw() {
    if (pending_raw_.empty()) return;
    std::string bytes;
    bytes.swap(pending_raw_);
    line("RAW " + escape(bytes));
}

std::string escape(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c > ' ' && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

}  // namespace icd2sim
