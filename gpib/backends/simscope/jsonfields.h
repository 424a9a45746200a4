#pragma once
// Typed field readers for the scenario reader: each checks a JSON value's type and names the
// offending key and its place when it is wrong.
#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cctype>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>

namespace vellumix::gpib::sim {

class JsonFields {
public:
    std::string error;

protected:
    bool fail(const std::string& message) {
        error = message;
        return false;
    }

    bool keys(const QJsonObject& o, const std::string& where, std::initializer_list<const char*> allowed) {
        for (const QString& k : o.keys()) {
            bool ok = false;
            for (const char* a : allowed)
                ok = ok || k == QLatin1String(a);
            if (!ok) return fail(where + ": unknown key \"" + k.toStdString() + "\"");
        }
        return true;
    }

    bool string(const QJsonObject& o, const char* key, std::string& out, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isString()) return fail(where + ": \"" + key + "\" must be a text");
        out = latin1(v.toString());
        return true;
    }

    // Texts go to the instrument as bytes: one byte per character, as the scope sends them.

    static std::string latin1(const QString& s) { return s.toLatin1().toStdString(); }

    bool number(const QJsonObject& o, const char* key, double& out, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull()) return true;
        if (!v.isDouble()) return fail(where + ": \"" + key + "\" must be a number");
        out = v.toDouble();
        return true;
    }

    bool integer(const QJsonObject& o, const char* key, int& out, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        const double d = v.toDouble(0.5);
        if (!v.isDouble() || d != std::floor(d) || std::fabs(d) > 2147483647.0)
            return fail(where + ": \"" + key + "\" must be a whole number");
        out = static_cast<int>(d);
        return true;
    }

    bool boolean(const QJsonObject& o, const char* key, bool& out, const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isBool()) return fail(where + ": \"" + key + "\" must be true or false");
        out = v.toBool();
        return true;
    }

    bool hex(const QString& text, std::string& out, const std::string& where) {
        QString t = text;
        t.remove(QLatin1Char(' '));
        const QByteArray raw = t.toLatin1();
        for (char c : raw)
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail(where + ": not hexadecimal: " + raw.toStdString());
        if (raw.size() % 2) return fail(where + ": odd number of hex digits");
        out = QByteArray::fromHex(raw).toStdString();
        return true;
    }

    bool optionalText(const QJsonObject& o, const char* key, std::optional<std::string>& out,
                      const std::string& where) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (v.isNull()) {
            out.reset();
            return true;
        }
        if (!v.isString()) return fail(where + ": \"" + key + "\" must be a text or null");
        out = latin1(v.toString());
        return true;
    }
};

} // namespace vellumix::gpib::sim
