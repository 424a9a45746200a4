// Reads a scenario from JSON (docs/simulator.md): every key checked, every problem named with where it is.
#include "gpib/backends/simscope/jsonfields.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/status.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cctype>
#include <cmath>

namespace vellumix::gpib::sim {

namespace {

// A payload is at most what "size" allows; a scenario file holds at most a few such pictures in hex
// or base64. Files are read against these bounds, since a path may name a device that never ends.
constexpr qint64 MaxPayloadBytes = qint64(256) * 1024 * 1024;
constexpr qint64 MaxScenarioBytes = qint64(64) * 1024 * 1024;

bool readBounded(const QString& path, qint64 limit, std::string& out, std::string& problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString().toStdString();
        return false;
    }
    if (!file.isSequential() && file.size() > limit) {
        problem = "larger than " + std::to_string(limit >> 20) + " MiB";
        return false;
    }
    out.clear();
    std::string block(64 * 1024, '\0');
    for (;;) {
        const qint64 got = file.read(block.data(), static_cast<qint64>(block.size()));
        if (got < 0) {
            problem = file.errorString().toStdString();
            return false;
        }
        if (got == 0) return true;
        if (static_cast<qint64>(out.size()) + got > limit) {
            problem = "larger than " + std::to_string(limit >> 20) + " MiB";
            return false;
        }
        out.append(block.data(), static_cast<std::size_t>(got));
    }
}

class Reader : public JsonFields {
public:
    explicit Reader(QString baseDir) : baseDir_(std::move(baseDir)) {}

    bool scenario(const QJsonObject& o, Scenario& s) {
        if (!keys(o, "scenario",
                  {"description", "rate", "latency", "hardcopyLatency", "registerReturnCode", "findLstnError",
                   "boardAnswersAlone", "instruments"}))
            return false;
        if (!string(o, "description", s.description, "scenario")) return false;
        if (!number(o, "rate", s.rate, "scenario") || !number(o, "latency", s.latency, "scenario"))
            return false;
        if (o.contains(QStringLiteral("hardcopyLatency"))) {
            double l = 0;
            if (!number(o, "hardcopyLatency", l, "scenario")) return false;
            s.hardcopyLatency = l;
        }
        if (!integer(o, "registerReturnCode", s.registerReturnCode, "scenario")) return false;
        if (o.contains(QStringLiteral("findLstnError"))) {
            int e = 0;
            if (!integer(o, "findLstnError", e, "scenario")) return false;
            s.findLstnError = e;
        }
        if (!boolean(o, "boardAnswersAlone", s.boardAnswersAlone, "scenario")) return false;
        const QJsonValue list = o.value(QStringLiteral("instruments"));
        if (!list.isUndefined() && !list.isArray()) return fail("scenario: \"instruments\" must be an array");
        const QJsonArray arr = list.toArray();
        for (qsizetype i = 0; i < arr.size(); ++i) {
            const std::string where = "instruments[" + std::to_string(i) + "]";
            if (!arr[i].isObject()) return fail(where + " must be an object");
            if (!instrument(arr[i].toObject(), where, s)) return false;
        }
        return true;
    }

private:
    bool payload(const QJsonValue& v, Payload& p, const std::string& where) {
        if (!v.isObject()) return fail(where + " must be an object");
        const QJsonObject o = v.toObject();
        if (!keys(o, where, {"file", "hex", "base64", "size", "append"})) return false;
        int sources = 0;
        for (const char* k : {"file", "hex", "base64", "size"})
            sources += o.contains(QLatin1String(k)) ? 1 : 0;
        if (sources > 1) return fail(where + ": give only one of \"file\", \"hex\", \"base64\", \"size\"");
        p = Payload{};
        if (o.contains(QStringLiteral("file"))) {
            const QJsonValue f = o.value(QStringLiteral("file"));
            if (!f.isString()) return fail(where + ": \"file\" must be a path");
            const QString path = QDir(baseDir_).filePath(f.toString());
            std::string problem;
            if (!readBounded(path, MaxPayloadBytes, p.bytes, problem))
                return fail(where + ": cannot read " + QDir::toNativeSeparators(path).toStdString() + ": " +
                            problem);
            p.source = Payload::Source::Bytes;
        } else if (o.contains(QStringLiteral("hex"))) {
            const QJsonValue h = o.value(QStringLiteral("hex"));
            if (!h.isString()) return fail(where + ": \"hex\" must be a text");
            p.source = Payload::Source::Bytes;
            if (!hex(h.toString(), p.bytes, where + ".hex")) return false;
        } else if (o.contains(QStringLiteral("base64"))) {
            const QJsonValue b = o.value(QStringLiteral("base64"));
            if (!b.isString()) return fail(where + ": \"base64\" must be a text");
            auto decoded = QByteArray::fromBase64Encoding(b.toString().toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded) return fail(where + ": \"base64\" is not valid base64");
            p.source = Payload::Source::Bytes;
            p.bytes = decoded.decoded.toStdString();
        } else if (o.contains(QStringLiteral("size"))) {
            const double d = o.value(QStringLiteral("size")).toDouble(-1);
            if (d < 0 || d != std::floor(d) || d > 256.0 * 1024 * 1024)
                return fail(where + ": \"size\" must be a byte count up to 256 MiB");
            p.source = Payload::Source::Size;
            p.size = static_cast<std::size_t>(d);
        }
        if (o.contains(QStringLiteral("append"))) {
            const QJsonValue a = o.value(QStringLiteral("append"));
            if (!a.isString()) return fail(where + ": \"append\" must be hex bytes");
            if (!hex(a.toString(), p.append, where + ".append")) return false;
        }
        return true;
    }

    bool fault(const QJsonValue& v, Fault& f, const std::string& where) {
        if (!v.isObject()) return fail(where + " must be an object");
        const QJsonObject o = v.toObject();
        if (!keys(o, where, {"type", "match", "exact", "chunk", "reply", "iberr", "times"})) return false;
        const QString type = o.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("writeError"))
            f.kind = Fault::Kind::WriteError;
        else if (type == QLatin1String("readTimeout"))
            f.kind = Fault::Kind::ReadTimeout;
        else if (type == QLatin1String("readError"))
            f.kind = Fault::Kind::ReadError;
        else if (type == QLatin1String("ibtmoError"))
            f.kind = Fault::Kind::TimeoutSetError;
        else
            return fail(where + ": \"type\" must be writeError, readTimeout, readError or ibtmoError");
        if (f.kind == Fault::Kind::ReadTimeout) f.iberr = 6;
        if (!string(o, "match", f.match, where) || !boolean(o, "exact", f.exact, where) ||
            !integer(o, "chunk", f.chunk, where) || !integer(o, "iberr", f.iberr, where) ||
            !integer(o, "times", f.times, where))
            return false;
        if (f.kind != Fault::Kind::ReadTimeout && f.kind != Fault::Kind::WriteError &&
            !o.contains(QStringLiteral("iberr")))
            return fail(where + ": \"iberr\" is needed for " + type.toStdString());
        const QJsonValue reply = o.value(QStringLiteral("reply"));
        if (!reply.isUndefined()) {
            const QString r = reply.toString();
            if (r == QLatin1String("any"))
                f.reply = ReplyKind::Any;
            else if (r == QLatin1String("id"))
                f.reply = ReplyKind::Id;
            else if (r == QLatin1String("hardcopy"))
                f.reply = ReplyKind::Hardcopy;
            else if (r == QLatin1String("other"))
                f.reply = ReplyKind::Other;
            else
                return fail(where + ": \"reply\" must be any, id, hardcopy or other");
        }
        return true;
    }

    bool instrument(const QJsonObject& o, const std::string& where, Scenario& s) {
        if (!keys(o, where,
                  {"address", "addresses", "kind", "id", "idn", "replyEnding", "silent", "model", "screen",
                   "format", "inkSaver", "port", "hardcopy", "hardcopyByFormat", "bmpFileSizeField", "faults",
                   "trigger"}))
            return false;
        InstrumentSetup in;
        std::vector<int> addresses;
        if (!identity(o, where, in) || !appearance(o, where, in) || !hardcopies(o, where, in) ||
            !faults(o, where, in) || !trigger(o, where, in) || !addressList(o, where, addresses))
            return false;
        for (int a : addresses) {
            in.address = a;
            s.instruments.push_back(in);
        }
        return true;
    }

    // When an armed single acquisition triggers: seconds after arming, or "never".
    bool trigger(const QJsonObject& o, const std::string& where, InstrumentSetup& in) {
        const QJsonValue v = o.value(QStringLiteral("trigger"));
        if (v.isUndefined()) return true;
        if (v.isString() && v.toString() == QLatin1String("never")) {
            in.triggerAfter.reset();
            return true;
        }
        if (!v.isDouble()) return fail(where + ": \"trigger\" must be a number of seconds or \"never\"");
        in.triggerAfter = v.toDouble();
        return true;
    }

    // Kind, replies and how the instrument talks.
    bool identity(const QJsonObject& o, const std::string& where, InstrumentSetup& in) {
        const QString kind = o.value(QStringLiteral("kind")).toString(QStringLiteral("scope"));
        if (kind == QLatin1String("scope"))
            in.scope = true;
        else if (kind == QLatin1String("instrument"))
            in.scope = false;
        else
            return fail(where + ": \"kind\" must be scope or instrument");
        if (!optionalText(o, "id", in.idReply, where)) return false;
        if (in.scope) {
            // A scope answers *IDN? too, in the TEKTRONIX,<model>,... form.
            in.idnReply = "TEKTRONIX," + in.effectiveModel() + ",0,CF:91.1CT FV:v1.00";
        } else {
            in.idnReply = in.idReply;
        }
        if (!optionalText(o, "idn", in.idnReply, where)) return false;
        if (o.contains(QStringLiteral("replyEnding"))) {
            const QJsonValue e = o.value(QStringLiteral("replyEnding"));
            if (!e.isString()) return fail(where + ": \"replyEnding\" must be hex bytes");
            if (!hex(e.toString(), in.replyEnding, where + ".replyEnding")) return false;
        }
        return boolean(o, "silent", in.silent, where) && string(o, "model", in.model, where) &&
               boolean(o, "inkSaver", in.inkSaver, where) && string(o, "port", in.port, where);
    }

    // Screen size, power-on format and the firmware's BMP size field.
    bool appearance(const QJsonObject& o, const std::string& where, InstrumentSetup& in) {
        if (o.contains(QStringLiteral("screen"))) {
            const QJsonValue sc = o.value(QStringLiteral("screen"));
            const QJsonObject so = sc.toObject();
            if (!sc.isObject() || !keys(so, where + ".screen", {"width", "height"}) ||
                !integer(so, "width", in.screenWidth, where + ".screen") ||
                !integer(so, "height", in.screenHeight, where + ".screen"))
                return error.empty() ? fail(where + ": \"screen\" must be {\"width\": W, \"height\": H}")
                                     : false;
            if (in.screenWidth <= 0 || in.screenHeight <= 0)
                return fail(where + ": \"screen\" needs both width and height");
        }
        if (o.contains(QStringLiteral("format"))) {
            std::string w;
            if (!string(o, "format", w, where)) return false;
            const auto f = parseFormatWord(w);
            if (!f)
                return fail(where + ": unknown format \"" + w +
                            "\" (BMP, BMPCOLOR, TIFF, PNG, PCX, PCXCOLOR)");
            in.format = *f;
        }
        if (o.contains(QStringLiteral("bmpFileSizeField"))) {
            int v = 0;
            if (!integer(o, "bmpFileSizeField", v, where)) return false;
            if (v < 0) return fail(where + ": \"bmpFileSizeField\" must not be negative");
            in.bmpFileSizeField = static_cast<uint32_t>(v);
        }
        return true;
    }

    bool hardcopies(const QJsonObject& o, const std::string& where, InstrumentSetup& in) {
        if (o.contains(QStringLiteral("hardcopy")) &&
            !payload(o.value(QStringLiteral("hardcopy")), in.hardcopy, where + ".hardcopy"))
            return false;
        if (!o.contains(QStringLiteral("hardcopyByFormat"))) return true;
        const QJsonValue v = o.value(QStringLiteral("hardcopyByFormat"));
        if (!v.isObject()) return fail(where + ": \"hardcopyByFormat\" must map format words to payloads");
        const QJsonObject m = v.toObject();
        for (auto it = m.begin(); it != m.end(); ++it) {
            const auto f = parseFormatWord(it.key().toStdString());
            if (!f)
                return fail(where + ".hardcopyByFormat: unknown format \"" + it.key().toStdString() + "\"");
            Payload p;
            if (!payload(it.value(), p, where + ".hardcopyByFormat." + it.key().toStdString())) return false;
            in.hardcopyByFormat[*f] = std::move(p);
        }
        return true;
    }

    bool faults(const QJsonObject& o, const std::string& where, InstrumentSetup& in) {
        if (!o.contains(QStringLiteral("faults"))) return true;
        const QJsonValue v = o.value(QStringLiteral("faults"));
        if (!v.isArray()) return fail(where + ": \"faults\" must be an array");
        const QJsonArray arr = v.toArray();
        for (qsizetype i = 0; i < arr.size(); ++i) {
            Fault f;
            if (!fault(arr[i], f, where + ".faults[" + std::to_string(i) + "]")) return false;
            in.faults.push_back(std::move(f));
        }
        return true;
    }

    // "addresses" puts copies of one instrument at several addresses.
    bool addressList(const QJsonObject& o, const std::string& where, std::vector<int>& addresses) {
        if (!o.contains(QStringLiteral("addresses"))) {
            if (!o.contains(QStringLiteral("address"))) return fail(where + ": \"address\" is missing");
            int a = 0;
            if (!integer(o, "address", a, where)) return false;
            addresses.push_back(a);
            return true;
        }
        if (o.contains(QStringLiteral("address")))
            return fail(where + ": give \"address\" or \"addresses\", not both");
        const QJsonValue v = o.value(QStringLiteral("addresses"));
        if (!v.isArray()) return fail(where + ": \"addresses\" must be an array of numbers");
        for (const QJsonValue& a : v.toArray()) {
            const double d = a.toDouble(0.5);
            if (!a.isDouble() || d != std::floor(d))
                return fail(where + ": \"addresses\" must be an array of whole numbers");
            // Checked before the conversion: a number beyond int would not survive it.
            if (d < 1 || d > MaxPrimaryAddress)
                return fail(where + ": instrument address " + QString::number(d, 'g', 17).toStdString() +
                            " is outside " + instrumentAddressRange() + " (0 is the board)");
            addresses.push_back(static_cast<int>(d));
        }
        return true;
    }

    QString baseDir_;
};

} // namespace

bool parseScenario(const std::string& json, const std::string& baseDir, Scenario& out, std::string& error) {
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &pe);
    if (pe.error != QJsonParseError::NoError) {
        error =
            "not valid JSON at offset " + std::to_string(pe.offset) + ": " + pe.errorString().toStdString();
        return false;
    }
    if (!doc.isObject()) {
        error = "the scenario must be a JSON object";
        return false;
    }
    Reader reader(QString::fromStdString(baseDir));
    Scenario s;
    if (!reader.scenario(doc.object(), s)) {
        error = reader.error;
        return false;
    }
    if (std::string problem = validateScenario(s); !problem.empty()) {
        error = problem;
        return false;
    }
    out = std::move(s);
    return true;
}

bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error) {
    const QString qpath = QString::fromStdString(path);
    std::string json;
    std::string problem;
    if (!readBounded(qpath, MaxScenarioBytes, json, problem)) {
        error = "cannot open scenario " + path + ": " + problem;
        return false;
    }
    if (!parseScenario(json, QFileInfo(qpath).absolutePath().toStdString(), out, problem)) {
        error = "scenario " + path + ": " + problem;
        return false;
    }
    return true;
}

} // namespace vellumix::gpib::sim
