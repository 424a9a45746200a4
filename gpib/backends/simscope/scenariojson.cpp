// Reads a scenario from JSON (docs/simulator.md): every key checked, every problem named with where it is.
#include "gpib/backends/simscope/jsonfields.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/status.h"

#include "platform/fileio.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace vellumix::gpib::sim {

namespace {

// A payload is at most what "size" allows; a scenario file holds at most a few such pictures in hex
// or base64. Files are read against these bounds, since a path may name a device that never ends.
constexpr std::uint64_t MaxPayloadBytes = std::uint64_t(256) * 1024 * 1024;
constexpr std::uint64_t MaxScenarioBytes = std::uint64_t(64) * 1024 * 1024;

// Strict base64: the standard alphabet, "=" only as the last one or two characters.
std::optional<std::string> decodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::size_t length = text.size();
    for (int pad = 0; pad < 2 && length > 0 && text[length - 1] == '='; ++pad)
        --length;
    if (length % 4 == 1) return std::nullopt;
    std::string out;
    out.reserve(length * 3 / 4);
    unsigned bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const int v = value(text[i]);
        if (v < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFFu));
        }
    }
    return out;
}

// A number as the reader's messages write it: shortest form, as JSON would.
std::string numberText(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

class Reader : public JsonFields {
public:
    explicit Reader(std::string baseDir) : baseDir_(std::move(baseDir)) {}

    bool scenario(const Json& o, Scenario& s) {
        if (!keys(o, "scenario",
                  {"description", "rate", "latency", "hardcopyLatency", "registerReturnCode", "findLstnError",
                   "boardAnswersAlone", "instruments"}))
            return false;
        if (!string(o, "description", s.description, "scenario")) return false;
        if (!number(o, "rate", s.rate, "scenario") || !number(o, "latency", s.latency, "scenario"))
            return false;
        if (has(o, "hardcopyLatency")) {
            double l = 0;
            if (!number(o, "hardcopyLatency", l, "scenario")) return false;
            s.hardcopyLatency = l;
        }
        if (!integer(o, "registerReturnCode", s.registerReturnCode, "scenario")) return false;
        if (has(o, "findLstnError")) {
            int e = 0;
            if (!integer(o, "findLstnError", e, "scenario")) return false;
            s.findLstnError = e;
        }
        if (!boolean(o, "boardAnswersAlone", s.boardAnswersAlone, "scenario")) return false;
        const Json& list = value(o, "instruments");
        if (!list.is_discarded() && !list.is_array())
            return fail("scenario: \"instruments\" must be an array");
        for (std::size_t i = 0; list.is_array() && i < list.size(); ++i) {
            const std::string where = "instruments[" + std::to_string(i) + "]";
            if (!list[i].is_object()) return fail(where + " must be an object");
            if (!instrument(list[i], where, s)) return false;
        }
        return true;
    }

private:
    bool payload(const Json& v, Payload& p, const std::string& where) {
        if (!v.is_object()) return fail(where + " must be an object");
        const Json& o = v;
        if (!keys(o, where, {"file", "hex", "base64", "size", "append"})) return false;
        int sources = 0;
        for (const char* k : {"file", "hex", "base64", "size"})
            sources += has(o, k) ? 1 : 0;
        if (sources > 1) return fail(where + ": give only one of \"file\", \"hex\", \"base64\", \"size\"");
        p = Payload{};
        if (has(o, "file")) {
            const Json& f = value(o, "file");
            if (!f.is_string()) return fail(where + ": \"file\" must be a path");
            const std::string path =
                utf8FromPath((pathFromUtf8(baseDir_) / pathFromUtf8(text(f))).make_preferred());
            std::string problem;
            if (!readFileBounded(path, MaxPayloadBytes, p.bytes, problem))
                return fail(where + ": cannot read " + path + ": " + problem);
            p.source = Payload::Source::Bytes;
        } else if (has(o, "hex")) {
            const Json& h = value(o, "hex");
            if (!h.is_string()) return fail(where + ": \"hex\" must be a text");
            p.source = Payload::Source::Bytes;
            if (!hex(text(h), p.bytes, where + ".hex")) return false;
        } else if (has(o, "base64")) {
            const Json& b = value(o, "base64");
            if (!b.is_string()) return fail(where + ": \"base64\" must be a text");
            auto decoded = decodeBase64(text(b));
            if (!decoded) return fail(where + ": \"base64\" is not valid base64");
            p.source = Payload::Source::Bytes;
            p.bytes = std::move(*decoded);
        } else if (has(o, "size")) {
            const double d = numberOr(value(o, "size"), -1);
            if (d < 0 || d != std::floor(d) || d > 256.0 * 1024 * 1024)
                return fail(where + ": \"size\" must be a byte count up to 256 MiB");
            p.source = Payload::Source::Size;
            p.size = static_cast<std::size_t>(d);
        }
        if (has(o, "append")) {
            const Json& a = value(o, "append");
            if (!a.is_string()) return fail(where + ": \"append\" must be hex bytes");
            if (!hex(text(a), p.append, where + ".append")) return false;
        }
        return true;
    }

    bool fault(const Json& v, Fault& f, const std::string& where) {
        if (!v.is_object()) return fail(where + " must be an object");
        const Json& o = v;
        if (!keys(o, where, {"type", "match", "exact", "chunk", "reply", "iberr", "times"})) return false;
        const std::string type = text(value(o, "type"));
        if (type == "writeError")
            f.kind = Fault::Kind::WriteError;
        else if (type == "readTimeout")
            f.kind = Fault::Kind::ReadTimeout;
        else if (type == "readError")
            f.kind = Fault::Kind::ReadError;
        else if (type == "ibtmoError")
            f.kind = Fault::Kind::TimeoutSetError;
        else
            return fail(where + ": \"type\" must be writeError, readTimeout, readError or ibtmoError");
        if (f.kind == Fault::Kind::ReadTimeout) f.iberr = 6;
        if (!string(o, "match", f.match, where) || !boolean(o, "exact", f.exact, where) ||
            !integer(o, "chunk", f.chunk, where) || !integer(o, "iberr", f.iberr, where) ||
            !integer(o, "times", f.times, where))
            return false;
        if (f.kind != Fault::Kind::ReadTimeout && f.kind != Fault::Kind::WriteError && !has(o, "iberr"))
            return fail(where + ": \"iberr\" is needed for " + type);
        const Json& reply = value(o, "reply");
        if (!reply.is_discarded()) {
            const std::string r = text(reply);
            if (r == "any")
                f.reply = ReplyKind::Any;
            else if (r == "id")
                f.reply = ReplyKind::Id;
            else if (r == "hardcopy")
                f.reply = ReplyKind::Hardcopy;
            else if (r == "other")
                f.reply = ReplyKind::Other;
            else
                return fail(where + ": \"reply\" must be any, id, hardcopy or other");
        }
        return true;
    }

    bool instrument(const Json& o, const std::string& where, Scenario& s) {
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
    bool trigger(const Json& o, const std::string& where, InstrumentSetup& in) {
        const Json& v = value(o, "trigger");
        if (v.is_discarded()) return true;
        if (v.is_string() && text(v) == "never") {
            in.triggerAfter.reset();
            return true;
        }
        if (!v.is_number()) return fail(where + ": \"trigger\" must be a number of seconds or \"never\"");
        in.triggerAfter = v.get<double>();
        return true;
    }

    // Kind, replies and how the instrument talks.
    bool identity(const Json& o, const std::string& where, InstrumentSetup& in) {
        const std::string kind = textOr(member(o, "kind"), "scope");
        if (kind == "scope")
            in.scope = true;
        else if (kind == "instrument")
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
        if (has(o, "replyEnding")) {
            const Json& e = value(o, "replyEnding");
            if (!e.is_string()) return fail(where + ": \"replyEnding\" must be hex bytes");
            if (!hex(text(e), in.replyEnding, where + ".replyEnding")) return false;
        }
        return boolean(o, "silent", in.silent, where) && string(o, "model", in.model, where) &&
               boolean(o, "inkSaver", in.inkSaver, where) && string(o, "port", in.port, where);
    }

    // Screen size, power-on format and the firmware's BMP size field.
    bool appearance(const Json& o, const std::string& where, InstrumentSetup& in) {
        if (has(o, "screen")) {
            const Json& sc = value(o, "screen");
            const Json& so = sc;
            if (!sc.is_object() || !keys(so, where + ".screen", {"width", "height"}) ||
                !integer(so, "width", in.screenWidth, where + ".screen") ||
                !integer(so, "height", in.screenHeight, where + ".screen"))
                return error.empty() ? fail(where + ": \"screen\" must be {\"width\": W, \"height\": H}")
                                     : false;
            if (in.screenWidth <= 0 || in.screenHeight <= 0)
                return fail(where + ": \"screen\" needs both width and height");
        }
        if (has(o, "format")) {
            std::string w;
            if (!string(o, "format", w, where)) return false;
            const auto f = parseFormatWord(w);
            if (!f)
                return fail(where + ": unknown format \"" + w +
                            "\" (BMP, BMPCOLOR, TIFF, PNG, PCX, PCXCOLOR)");
            in.format = *f;
        }
        if (has(o, "bmpFileSizeField")) {
            int v = 0;
            if (!integer(o, "bmpFileSizeField", v, where)) return false;
            if (v < 0) return fail(where + ": \"bmpFileSizeField\" must not be negative");
            in.bmpFileSizeField = static_cast<uint32_t>(v);
        }
        return true;
    }

    bool hardcopies(const Json& o, const std::string& where, InstrumentSetup& in) {
        if (has(o, "hardcopy") && !payload(value(o, "hardcopy"), in.hardcopy, where + ".hardcopy"))
            return false;
        if (!has(o, "hardcopyByFormat")) return true;
        const Json& v = value(o, "hardcopyByFormat");
        if (!v.is_object()) return fail(where + ": \"hardcopyByFormat\" must map format words to payloads");
        for (auto it = v.begin(); it != v.end(); ++it) {
            const auto f = parseFormatWord(it.key());
            if (!f) return fail(where + ".hardcopyByFormat: unknown format \"" + it.key() + "\"");
            Payload p;
            if (!payload(it.value(), p, where + ".hardcopyByFormat." + it.key())) return false;
            in.hardcopyByFormat[*f] = std::move(p);
        }
        return true;
    }

    bool faults(const Json& o, const std::string& where, InstrumentSetup& in) {
        if (!has(o, "faults")) return true;
        const Json& v = value(o, "faults");
        if (!v.is_array()) return fail(where + ": \"faults\" must be an array");
        for (std::size_t i = 0; i < v.size(); ++i) {
            Fault f;
            if (!fault(v[i], f, where + ".faults[" + std::to_string(i) + "]")) return false;
            in.faults.push_back(std::move(f));
        }
        return true;
    }

    // "addresses" puts copies of one instrument at several addresses.
    bool addressList(const Json& o, const std::string& where, std::vector<int>& addresses) {
        if (!has(o, "addresses")) {
            if (!has(o, "address")) return fail(where + ": \"address\" is missing");
            int a = 0;
            if (!integer(o, "address", a, where)) return false;
            addresses.push_back(a);
            return true;
        }
        if (has(o, "address")) return fail(where + ": give \"address\" or \"addresses\", not both");
        const Json& v = value(o, "addresses");
        if (!v.is_array()) return fail(where + ": \"addresses\" must be an array of numbers");
        for (const Json& a : v) {
            const double d = numberOr(a, 0.5);
            if (!a.is_number() || d != std::floor(d))
                return fail(where + ": \"addresses\" must be an array of whole numbers");
            // Checked before the conversion: a number beyond int would not survive it.
            if (d < 1 || d > MaxPrimaryAddress)
                return fail(where + ": instrument address " + numberText(d) + " is outside " +
                            instrumentAddressRange() + " (0 is the board)");
            addresses.push_back(static_cast<int>(d));
        }
        return true;
    }

    std::string baseDir_;
};

} // namespace

namespace {
// The library's messages start with its own tag ("[json.exception.parse_error.101] "): not for users.
std::string withoutLibraryTag(std::string why) {
    if (const auto tag = why.find("] "); why.rfind("[json.", 0) == 0 && tag != std::string::npos)
        why.erase(0, tag + 2);
    return why;
}
} // namespace

bool parseScenario(const std::string& json, const std::string& baseDir, Scenario& out, std::string& error) {
    Json doc;
    try {
        doc = Json::parse(json);
    } catch (const Json::parse_error& e) {
        error = "not valid JSON at offset " + std::to_string(e.byte) + ": " + withoutLibraryTag(e.what());
        return false;
    } catch (const Json::exception& e) {
        // A number beyond a double (1e400) is refused while parsing, with no offset.
        error = "not valid JSON: " + withoutLibraryTag(e.what());
        return false;
    }
    if (!doc.is_object()) {
        error = "the scenario must be a JSON object";
        return false;
    }
    Reader reader(baseDir);
    Scenario s;
    if (!reader.scenario(doc, s)) {
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
    std::string json;
    std::string problem;
    if (!readFileBounded(path, MaxScenarioBytes, json, problem)) {
        error = "cannot open scenario " + path + ": " + problem;
        return false;
    }
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(pathFromUtf8(path), ec);
    if (ec) absolute = pathFromUtf8(path);
    if (!parseScenario(json, utf8FromPath(absolute.parent_path()), out, problem)) {
        error = "scenario " + path + ": " + problem;
        return false;
    }
    return true;
}

} // namespace vellumix::gpib::sim
