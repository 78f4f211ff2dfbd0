// A small JSON reader and writer for the farm's plan file. Bounded: the
// text, the nesting and every string have limits, numbers are finite
// doubles, and a bad text gives an error with its byte position, never a
// partial value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Status.h"

namespace stitcher {

class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    JsonValue() = default;
    static JsonValue boolean(bool b);
    static JsonValue number(double v);
    static JsonValue string(std::string s);
    static JsonValue array();
    static JsonValue object();

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::Null; }

    // The value when it is of that kind; else the fallback.
    bool asBool(bool fallback = false) const { return kind_ == Kind::Bool ? bool_ : fallback; }
    double asNumber(double fallback = 0) const { return kind_ == Kind::Number ? number_ : fallback; }
    const std::string& asString() const;
    // Array items (empty for other kinds).
    const std::vector<JsonValue>& items() const { return items_; }
    // Object members, by name (empty for other kinds).
    const std::map<std::string, JsonValue>& members() const { return members_; }
    // A member of an object; a null value where there is none.
    const JsonValue& operator[](const std::string& name) const;

    // Builders: push onto an array, set a member of an object.
    JsonValue& push(JsonValue v);
    JsonValue& set(const std::string& name, JsonValue v);

private:
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<JsonValue> items_;
    std::map<std::string, JsonValue> members_;
};

struct JsonLimits {
    size_t maxText = size_t(256) << 20;  // bytes
    int maxDepth = 32;
    size_t maxString = size_t(1) << 20;  // bytes of one string
};

// Parses the whole of `text` (white space around the value allowed) into
// `out`; a failure (kExitPlan) says what and where.
Status parseJson(const std::string& text, const JsonLimits& limits, JsonValue& out);
inline Status parseJson(const std::string& text, JsonValue& out) { return parseJson(text, JsonLimits(), out); }

// Compact text; numbers as the shortest of %.17g that reads back the same
// double (integers without a fraction). Objects list their members by name.
std::string writeJson(const JsonValue& v);

}  // namespace stitcher
