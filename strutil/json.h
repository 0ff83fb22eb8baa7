// A small writer of one-line JSON texts, and SHA-256, for the run report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Builds one JSON value on one line. Commas and key quoting are handled
// here; the caller opens and closes objects and gives each member a key.
// Strings are escaped as JSON requires: quotes, backslashes and control
// characters, and bytes that are not valid UTF-8 (as \u00XX), so that any
// path the system hands us still makes valid JSON.
class JsonWriter {
  public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    // An array's elements follow without keys.
    JsonWriter& begin_array();
    JsonWriter& end_array();
    // The key of the next member of the open object.
    JsonWriter& key(const std::string& name);
    JsonWriter& string(const std::string& value);
    JsonWriter& number(long long value);
    // A finite number with up to digits decimals, trailing zeros kept off;
    // null when it is not finite.
    JsonWriter& number(double value, int digits);
    JsonWriter& boolean(bool value);

    const std::string& text() const { return text_; }

  private:
    void separate();

    std::string text_;
    bool need_comma_ = false;
};

// The SHA-256 digest of length bytes at data, as 64 lower-case hex digits.
std::string sha256_hex(const void* data, size_t length);
