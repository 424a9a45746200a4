#pragma once
// Typed field readers for the scenario reader: each checks a JSON value's type and names the
// offending key and its place when it is wrong.
#include "platform/text.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>

namespace vellumix::gpib::sim {

using Json = nlohmann::json;

class JsonFields {
public:
    std::string error;

protected:
    bool fail(const std::string& message) {
        error = message;
        return false;
    }

    // The member key of an object, or nullptr when it has none (or o is no object).
    static const Json* member(const Json& o, const char* key) {
        if (!o.is_object()) return nullptr;
        const auto it = o.find(key);
        return it == o.end() ? nullptr : &*it;
    }
    static bool has(const Json& o, const char* key) { return member(o, key) != nullptr; }
    // The member key, or a discarded value when there is none (JSON's "undefined").
    static const Json& value(const Json& o, const char* key) {
        static const Json missing(Json::value_t::discarded);
        const Json* v = member(o, key);
        return v ? *v : missing;
    }
    static std::string text(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }
    static double numberOr(const Json& v, double fallback) {
        return v.is_number() ? v.get<double>() : fallback;
    }

    // A value's text when it is one, else fallback.
    static std::string textOr(const Json* v, const std::string& fallback = {}) {
        return v && v->is_string() ? v->get<std::string>() : fallback;
    }

    bool keys(const Json& o, const std::string& where, std::initializer_list<const char*> allowed) {
        for (auto it = o.begin(); it != o.end(); ++it) {
            bool ok = false;
            for (const char* a : allowed)
                ok = ok || it.key() == a;
            if (!ok) return fail(where + ": unknown key \"" + it.key() + "\"");
        }
        return true;
    }

    bool string(const Json& o, const char* key, std::string& out, const std::string& where) {
        const Json* v = member(o, key);
        if (!v) return true;
        if (!v->is_string()) return fail(where + ": \"" + key + "\" must be a text");
        out = latin1(*v);
        return true;
    }

    // Texts go to the instrument as bytes: one byte per character, as the scope sends them.
    static std::string latin1(const Json& v) { return utf8ToLatin1(v.get<std::string>()); }

    bool number(const Json& o, const char* key, double& out, const std::string& where) {
        const Json* v = member(o, key);
        if (!v || v->is_null()) return true;
        if (!v->is_number()) return fail(where + ": \"" + key + "\" must be a number");
        out = v->get<double>();
        return true;
    }

    bool integer(const Json& o, const char* key, int& out, const std::string& where) {
        const Json* v = member(o, key);
        if (!v) return true;
        const double d = v->is_number() ? v->get<double>() : 0.5;
        if (!v->is_number() || d != std::floor(d) || std::fabs(d) > 2147483647.0)
            return fail(where + ": \"" + key + "\" must be a whole number");
        out = static_cast<int>(d);
        return true;
    }

    bool boolean(const Json& o, const char* key, bool& out, const std::string& where) {
        const Json* v = member(o, key);
        if (!v) return true;
        if (!v->is_boolean()) return fail(where + ": \"" + key + "\" must be true or false");
        out = v->get<bool>();
        return true;
    }

    bool hex(const std::string& text, std::string& out, const std::string& where) {
        std::string raw;
        for (char c : text)
            if (c != ' ') raw.push_back(c);
        for (char c : raw)
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail(where + ": not hexadecimal: " + raw);
        if (raw.size() % 2) return fail(where + ": odd number of hex digits");
        out.clear();
        for (std::size_t i = 0; i < raw.size(); i += 2)
            out.push_back(static_cast<char>(std::stoi(raw.substr(i, 2), nullptr, 16)));
        return true;
    }

    bool optionalText(const Json& o, const char* key, std::optional<std::string>& out,
                      const std::string& where) {
        const Json* v = member(o, key);
        if (!v) return true;
        if (v->is_null()) {
            out.reset();
            return true;
        }
        if (!v->is_string()) return fail(where + ": \"" + key + "\" must be a text or null");
        out = latin1(*v);
        return true;
    }
};

} // namespace vellumix::gpib::sim
