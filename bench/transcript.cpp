// Counting the wire from icd2sim's transcript: each event's bytes, at the
// line speed in force when it happened.

#include "transcript.h"

#include <stdio.h>

#include <cstdio>
#include <cstdlib>

#include "util.h"

namespace bench {

namespace {

// The transcript writes blanks, backslashes and unprintable bytes as \xHH.
size_t unescaped_length(const std::string& text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i, ++n)
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') i += 3;
    return n;
}

// Bytes an injected fault put in front of a response or block: "U?x" for
// noise, two whole "00" frames for zeros.
uint64_t injected_bytes(const std::vector<std::string>& words, size_t first_kind) {
    uint64_t bytes = 0;
    for (size_t i = first_kind; i < words.size(); ++i) {
        if (words[i] == "noise") bytes += 3;
        if (words[i] == "zeros") bytes += 2 * frame_bytes(4);
    }
    return bytes;
}

}  // namespace

Count count_transcript(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) die_errno(path);
    Count count;
    unsigned speed = kHandshakeBaud;
    std::string code = "handshake";
    auto add = [&](uint64_t bytes, bool to_device) {
        uint64_t& wire = to_device
                             ? (speed == kFastBaud ? count.wire.in_fast : count.wire.in_slow)
                             : (speed == kFastBaud ? count.wire.out_fast : count.wire.out_slow);
        wire += bytes;
        (to_device ? count.by_code[code].in : count.by_code[code].out) += bytes;
    };
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&raw, &capacity, in)) > 0) {
        std::string line(raw, static_cast<size_t>(length));
        if (line.back() == '\n') line.pop_back();
        const std::vector<std::string> w = split(line);
        if (w.empty()) continue;
        const std::string& kind = w[0];
        const bool not_sent = w.back() == "silenced" || w.back() == "silent";
        if (kind == "DTR" || kind == "RESET") {
            continue;
        } else if (kind == "SPEED" && w.size() == 2) {
            speed = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 10));
        } else if (kind == "RAW" && w.size() == 2) {
            // The handshake's "Z" between the two DTR pulses is part of the
            // protocol; any other stray byte is not.
            if (code != "handshake" || w[1] != "Z") count.anomalies.push_back(line);
            add(unescaped_length(w[1]), true);
        } else if (kind == "WAKE") {
            if (code != "handshake") count.anomalies.push_back(line);
            add(1, true);
            if (w.size() == 4 && w[3] != "none") add(unescaped_length(w[3]), false);
        } else if (kind == "CMD" && w.size() == 3) {
            code = w[2].substr(0, 2);
            ++count.by_code[code].frames;
            add(frame_bytes(unescaped_length(w[2])), true);
        } else if (kind == "RESP" && w.size() >= 2) {
            if (w.size() > 2) count.anomalies.push_back(line);
            if (!not_sent) add(frame_bytes(unescaped_length(w[1])) + injected_bytes(w, 2), false);
        } else if (kind == "BLOCK-OUT" && w.size() >= 3) {
            if (w.size() > 3) count.anomalies.push_back(line);
            const auto n = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
            if (!not_sent) add(block_bytes(n, is_byte_code(w[1])) + injected_bytes(w, 3), false);
        } else if (kind == "BLOCK-IN" && w.size() == 4 && w[3] == "ok") {
            const auto n = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
            add(block_bytes(n, is_byte_code(w[1])), true);
        } else if (kind == "BADFRAME" && w.size() == 3) {
            count.anomalies.push_back(line);
            add(unescaped_length(w[1]), true);
        } else {
            // BADCMD, FAULT, NOTE, a block that failed: not a clean exchange.
            count.anomalies.push_back(line);
        }
    }
    std::free(raw);
    std::fclose(in);
    return count;
}

}  // namespace bench
