#include "Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stitcher {

JsonValue JsonValue::boolean(bool b) {
    JsonValue v;
    v.kind_ = Kind::Bool;
    v.bool_ = b;
    return v;
}

JsonValue JsonValue::number(double d) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.number_ = std::isfinite(d) ? d : 0;
    return v;
}

JsonValue JsonValue::string(std::string s) {
    JsonValue v;
    v.kind_ = Kind::String;
    v.string_ = std::move(s);
    return v;
}

JsonValue JsonValue::array() {
    JsonValue v;
    v.kind_ = Kind::Array;
    return v;
}

JsonValue JsonValue::object() {
    JsonValue v;
    v.kind_ = Kind::Object;
    return v;
}

const std::string& JsonValue::asString() const {
    static const std::string empty;
    return kind_ == Kind::String ? string_ : empty;
}

const JsonValue& JsonValue::operator[](const std::string& name) const {
    static const JsonValue none;
    auto it = members_.find(name);
    return it == members_.end() ? none : it->second;
}

JsonValue& JsonValue::push(JsonValue v) {
    items_.push_back(std::move(v));
    return items_.back();
}

JsonValue& JsonValue::set(const std::string& name, JsonValue v) { return members_[name] = std::move(v); }

namespace {

class Parser {
public:
    Parser(const std::string& text, const JsonLimits& limits) : s_(text), limits_(limits) {}

    bool parse(JsonValue& out, std::string& error) {
        if (s_.size() > limits_.maxText) return fail("the text is larger than " + std::to_string(limits_.maxText) + " bytes", error);
        skipSpace();
        if (!value(out, 0)) return fail(why_, error);
        skipSpace();
        if (at_ != s_.size()) return fail("text after the value", error);
        return true;
    }

private:
    bool fail(const std::string& what, std::string& error) {
        error = what + " at byte " + std::to_string(at_);
        return false;
    }
    bool bad(const char* what) {
        why_ = what;
        return false;
    }
    void skipSpace() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (s_.compare(at_, n, word) != 0) return bad("not a JSON value");
        at_ += n;
        return true;
    }

    bool value(JsonValue& out, int depth) {
        if (at_ >= s_.size()) return bad("the text ends where a value should be");
        switch (s_[at_]) {
            case '{': return object(out, depth + 1);
            case '[': return array(out, depth + 1);
            case '"': {
                std::string str;
                if (!string(str)) return false;
                out = JsonValue::string(std::move(str));
                return true;
            }
            case 't':
                out = JsonValue::boolean(true);
                return literal("true");
            case 'f':
                out = JsonValue::boolean(false);
                return literal("false");
            case 'n':
                out = JsonValue();
                return literal("null");
            default: return number(out);
        }
    }

    bool object(JsonValue& out, int depth) {
        if (depth > limits_.maxDepth) return bad("nested too deeply");
        out = JsonValue::object();
        ++at_;
        skipSpace();
        if (at_ < s_.size() && s_[at_] == '}') {
            ++at_;
            return true;
        }
        while (true) {
            skipSpace();
            if (at_ >= s_.size() || s_[at_] != '"') return bad("a member name should be here");
            std::string name;
            if (!string(name)) return false;
            skipSpace();
            if (at_ >= s_.size() || s_[at_] != ':') return bad("':' should follow a member name");
            ++at_;
            skipSpace();
            JsonValue v;
            if (!value(v, depth)) return false;
            if (out.members().count(name)) return bad("a member name appears twice");
            out.set(name, std::move(v));
            skipSpace();
            if (at_ >= s_.size()) return bad("the text ends inside an object");
            if (s_[at_] == '}') {
                ++at_;
                return true;
            }
            if (s_[at_] != ',') return bad("',' or '}' should be here");
            ++at_;
        }
    }

    bool array(JsonValue& out, int depth) {
        if (depth > limits_.maxDepth) return bad("nested too deeply");
        out = JsonValue::array();
        ++at_;
        skipSpace();
        if (at_ < s_.size() && s_[at_] == ']') {
            ++at_;
            return true;
        }
        while (true) {
            skipSpace();
            JsonValue v;
            if (!value(v, depth)) return false;
            out.push(std::move(v));
            skipSpace();
            if (at_ >= s_.size()) return bad("the text ends inside an array");
            if (s_[at_] == ']') {
                ++at_;
                return true;
            }
            if (s_[at_] != ',') return bad("',' or ']' should be here");
            ++at_;
        }
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool hex4(unsigned& v) {
        if (s_.size() - at_ < 4) return bad("a \\u escape needs four hex digits");
        v = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(s_[at_ + i]);
            if (d < 0) return bad("a \\u escape needs four hex digits");
            v = v * 16 + static_cast<unsigned>(d);
        }
        at_ += 4;
        return true;
    }
    static void utf8(unsigned cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    bool string(std::string& out) {
        ++at_;  // the opening quote
        while (true) {
            if (at_ >= s_.size()) return bad("the text ends inside a string");
            if (out.size() > limits_.maxString) return bad("a string is too long");
            const char c = s_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return bad("a control character inside a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) return bad("the text ends inside a string");
            const char e = s_[at_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xd800 && cp < 0xdc00) {
                        unsigned low = 0;
                        if (s_.compare(at_, 2, "\\u") != 0) return bad("a lone surrogate in a \\u escape");
                        at_ += 2;
                        if (!hex4(low)) return false;
                        if (low < 0xdc00 || low >= 0xe000) return bad("a lone surrogate in a \\u escape");
                        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                    } else if (cp >= 0xdc00 && cp < 0xe000) {
                        return bad("a lone surrogate in a \\u escape");
                    }
                    utf8(cp, out);
                    break;
                }
                default: return bad("an unknown escape in a string");
            }
        }
    }

    bool number(JsonValue& out) {
        // The JSON grammar, checked before strtod reads it.
        const size_t start = at_;
        auto digits = [&] {
            const size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
            return at_ > from;
        };
        if (at_ < s_.size() && s_[at_] == '-') ++at_;
        if (at_ < s_.size() && s_[at_] == '0')
            ++at_;
        else if (!digits())
            return bad("not a JSON value");
        if (at_ < s_.size() && s_[at_] == '.') {
            ++at_;
            if (!digits()) return bad("a number needs digits after its point");
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
            if (!digits()) return bad("a number needs digits in its exponent");
        }
        if (at_ - start > 64) return bad("a number is too long");
        const std::string text = s_.substr(start, at_ - start);
        const double v = std::strtod(text.c_str(), nullptr);
        if (!std::isfinite(v)) return bad("a number is out of range");
        out = JsonValue::number(v);
        return true;
    }

    const std::string& s_;
    const JsonLimits& limits_;
    size_t at_ = 0;
    std::string why_;
};

void writeString(const std::string& s, std::string& out) {
    out += '"';
    for (const char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

void writeNumber(double v, std::string& out) {
    char text[40];
    if (v == std::floor(v) && std::fabs(v) < 9.0e15) {
        std::snprintf(text, sizeof text, "%.0f", v);
    } else {
        for (int digits = 6; digits <= 17; ++digits) {
            std::snprintf(text, sizeof text, "%.*g", digits, v);
            if (std::strtod(text, nullptr) == v) break;
        }
    }
    out += text;
}

void write(const JsonValue& v, std::string& out) {
    switch (v.kind()) {
        case JsonValue::Kind::Null: out += "null"; break;
        case JsonValue::Kind::Bool: out += v.asBool() ? "true" : "false"; break;
        case JsonValue::Kind::Number: writeNumber(v.asNumber(), out); break;
        case JsonValue::Kind::String: writeString(v.asString(), out); break;
        case JsonValue::Kind::Array: {
            out += '[';
            bool first = true;
            for (const JsonValue& item : v.items()) {
                if (!first) out += ',';
                first = false;
                write(item, out);
            }
            out += ']';
            break;
        }
        case JsonValue::Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& m : v.members()) {
                if (!first) out += ",\n";
                first = false;
                writeString(m.first, out);
                out += ':';
                write(m.second, out);
            }
            out += '}';
            break;
        }
    }
}

}  // namespace

Status parseJson(const std::string& text, const JsonLimits& limits, JsonValue& out) {
    JsonValue v;
    Parser p(text, limits);
    std::string error;
    if (!p.parse(v, error)) return Status(kExitPlan, error);
    out = std::move(v);
    return Status();
}

std::string writeJson(const JsonValue& v) {
    std::string out;
    write(v, out);
    out += '\n';
    return out;
}

}  // namespace stitcher
