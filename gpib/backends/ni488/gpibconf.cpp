#include "gpib/backends/ni488/gpibconf.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace vellumix::gpib::ni488 {

namespace {

enum class Kind { End, Punct, Keyword, Bool, TimeValue, Number, String };

struct Token {
    Kind kind = Kind::End;
    std::string text;    // what the token means: a keyword in its current spelling
    std::string written; // as the file has it, for telling the user where reading stopped
    int line = 1;
    long number = 0;
};

// The library's lexer is case-sensitive and takes a whole run of [A-Za-z0-9_-] at a time; a run that
// is exactly a keyword, truth value, duration or number is one, anything else is a bare string.
const std::vector<std::string>& keywords() {
    static const std::vector<std::string> words = {"interface",
                                                   "device",
                                                   "base",
                                                   "irq",
                                                   "dma",
                                                   "pci_bus",
                                                   "pci_slot",
                                                   "name",
                                                   "board_type",
                                                   "minor",
                                                   "sysfs_device_path",
                                                   "serial_number",
                                                   "pad",
                                                   "sad",
                                                   "eos",
                                                   "timeout",
                                                   "timo",
                                                   "set-reos",
                                                   "set-bin",
                                                   "set-xeos",
                                                   "set-eot",
                                                   "init-string",
                                                   "init-flags",
                                                   "LLO",
                                                   "DCL",
                                                   "EXCL",
                                                   "controller",
                                                   "master",
                                                   "autopoll"};
    return words;
}

bool isTimeValue(const std::string& w) {
    static const std::vector<std::string> values = {"none", "10us", "30us", "100us", "300us", "1ms",
                                                    "3ms",  "10ms", "30ms", "100ms", "300ms", "1s",
                                                    "3s",   "10s",  "30s",  "100s",  "300s",  "1000s"};
    return std::find(values.begin(), values.end(), w) != values.end();
}

bool isTimeoutCode(const std::string& w) {
    return w == "TNONE" || (w.size() > 1 && w[0] == 'T' && w != "Tnone" && isTimeValue(w.substr(1)));
}

bool isRunChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool allOf(const std::string& w, std::size_t from, bool (*pred)(char)) {
    if (w.size() <= from) return false;
    return std::all_of(w.begin() + static_cast<std::ptrdiff_t>(from), w.end(), pred);
}

Token classify(std::string run, int line) {
    Token t;
    t.line = line;
    t.text = run;
    t.written = run;
    if (run == "set-clear") run = "DCL"; // the lexer's old spelling of DCL
    const auto& kw = keywords();
    if (std::find(kw.begin(), kw.end(), run) != kw.end()) {
        t.kind = Kind::Keyword;
        t.text = run;
    } else if (run == "yes" || run == "no") {
        t.kind = Kind::Bool;
    } else if (isTimeValue(run)) {
        t.kind = Kind::TimeValue;
    } else if (isTimeoutCode(run)) {
        t.kind = Kind::Number;
    } else if (allOf(run, 0, [](char c) { return c >= '0' && c <= '9'; }) ||
               (run.size() > 2 && run[0] == '0' && (run[1] == 'x' || run[1] == 'X') &&
                allOf(run, 2, [](char c) {
                    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
                }))) {
        t.kind = Kind::Number;
        t.number = std::strtol(run.c_str(), nullptr, 0); // base 0, as the library reads it
    } else {
        t.kind = Kind::String;
    }
    return t;
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : s_(text) {}

    // An unterminated string swallows the rest of the file; unterminated is set so the caller can
    // say so instead of reporting the end of the file.
    Token next() {
        for (;;) {
            if (at_ >= s_.size()) return end();
            const char c = s_[at_];
            if (c == '\n') {
                ++line_;
                ++at_;
            } else if (c == ' ' || c == '\t') { // not CR: the library's lexer rejects it
                ++at_;
            } else if (c == '/' && at_ + 1 < s_.size() && s_[at_ + 1] == '*') {
                at_ += 2;
                while (at_ < s_.size() && !(s_[at_] == '*' && at_ + 1 < s_.size() && s_[at_ + 1] == '/')) {
                    if (s_[at_] == '\n') ++line_;
                    ++at_;
                }
                at_ = std::min(at_ + 2, s_.size());
            } else {
                break;
            }
        }
        const char c = s_[at_];
        Token t;
        t.line = line_;
        if (c == '"') {
            const std::size_t close = s_.find('"', at_ + 1);
            if (close == std::string_view::npos) {
                unterminatedLine_ = line_;
                at_ = s_.size();
                t.kind = Kind::End;
                t.text = "\"";
                t.written = t.text;
                return t;
            }
            t.kind = Kind::String;
            t.text = std::string(s_.substr(at_ + 1, close - at_ - 1));
            t.written = t.text;
            line_ += static_cast<int>(std::count(t.text.begin(), t.text.end(), '\n'));
            at_ = close + 1;
            return t;
        }
        if (isRunChar(c)) {
            const std::size_t start = at_;
            while (at_ < s_.size() && isRunChar(s_[at_]))
                ++at_;
            return classify(std::string(s_.substr(start, at_ - start)), line_);
        }
        ++at_;
        t.kind = Kind::Punct;
        t.text = std::string(1, c);
        t.written = t.text;
        return t;
    }

    int unterminatedLine() const { return unterminatedLine_; }

private:
    Token end() const {
        Token t;
        t.line = line_;
        return t;
    }
    std::string_view s_;
    std::size_t at_ = 0;
    int line_ = 1;
    int unterminatedLine_ = 0;
};

// What a setting takes after its name.
enum class Value { Number, Timeout, String, Bool, OptionalEqualsBool, Nothing, Flags };

const std::map<std::string, Value>& interfaceSettings() {
    static const std::map<std::string, Value> m = {
        {"pad", Value::Number},
        {"sad", Value::Number},
        {"eos", Value::Number},
        {"base", Value::Number},
        {"irq", Value::Number},
        {"dma", Value::Number},
        {"pci_bus", Value::Number},
        {"pci_slot", Value::Number},
        {"timeout", Value::Timeout},
        {"timo", Value::Timeout},
        {"board_type", Value::String},
        {"name", Value::String},
        {"sysfs_device_path", Value::String},
        {"serial_number", Value::String},
        {"set-reos", Value::OptionalEqualsBool},
        {"set-bin", Value::OptionalEqualsBool},
        {"master", Value::OptionalEqualsBool},
        {"controller", Value::OptionalEqualsBool},
        {"set-xeos", Value::Bool},
        {"set-eot", Value::Bool},
    };
    return m;
}

const std::map<std::string, Value>& deviceSettings() {
    static const std::map<std::string, Value> m = {
        {"pad", Value::Number},
        {"sad", Value::Number},
        {"eos", Value::Number},
        {"minor", Value::Number},
        {"timeout", Value::Timeout},
        {"timo", Value::Timeout},
        {"init-string", Value::String},
        {"name", Value::String},
        {"set-reos", Value::OptionalEqualsBool},
        {"set-bin", Value::OptionalEqualsBool},
        {"set-xeos", Value::Bool},
        {"set-eot", Value::Bool},
        {"autopoll", Value::Nothing},
        {"init-flags", Value::Flags},
    };
    return m;
}

constexpr int BoardCount = 16;

class Parser {
public:
    explicit Parser(std::string_view text) : lex_(text) { advance(); }

    GpibConf run() {
        while (conf_.valid && tok_.kind != Kind::End) {
            if (isKeyword("interface")) {
                advance();
                interfaceBlock();
            } else if (isKeyword("device")) {
                advance();
                if (expectPunct('{')) block(deviceSettings(), "a device setting", nullptr);
            } else {
                fail("an interface or device block");
            }
        }
        return conf_;
    }

private:
    void advance() { tok_ = lex_.next(); }
    bool isKeyword(const char* w) const { return tok_.kind == Kind::Keyword && tok_.text == w; }
    bool isPunct(char c) const { return tok_.kind == Kind::Punct && tok_.text[0] == c; }

    void fail(const std::string& expected) {
        if (!conf_.valid) return;
        conf_.valid = false;
        if (tok_.kind == Kind::End && lex_.unterminatedLine() > 0) {
            conf_.errorLine = lex_.unterminatedLine();
            conf_.errorNear = "\"";
            conf_.errorExpected = "a closing \" on the same text";
            return;
        }
        conf_.errorLine = tok_.line;
        conf_.errorNear = tok_.written;
        conf_.errorAtEnd = tok_.kind == Kind::End;
        conf_.errorAtCarriageReturn = tok_.kind == Kind::Punct && tok_.text == "\r";
        conf_.errorExpected = expected;
    }

    bool expectPunct(char c) {
        if (!isPunct(c)) {
            fail(std::string("\"") + c + "\"");
            return false;
        }
        advance();
        return true;
    }

    void interfaceBlock() {
        if (!expectPunct('{')) return;
        if (!isKeyword("minor")) return fail("minor = N as the block's first setting");
        advance();
        if (!expectPunct('=')) return;
        if (tok_.kind != Kind::Number || tok_.number < 0 || tok_.number >= BoardCount)
            return fail("a board index from 0 to 15");
        GpibConfInterface board;
        board.minor = static_cast<int>(tok_.number);
        board.line = tok_.line;
        if (const GpibConfInterface* first = conf_.find(board.minor)) {
            fail("a board index that no other interface block has");
            conf_.duplicateOfLine = first->line;
            return;
        }
        advance();
        block(interfaceSettings(), "an interface setting", &board);
        if (conf_.valid) conf_.interfaces.push_back(board);
    }

    // Settings up to and including the closing brace; board, when given, receives board_type.
    void block(const std::map<std::string, Value>& settings, const char* what, GpibConfInterface* board) {
        while (conf_.valid && !isPunct('}')) {
            const auto it = tok_.kind == Kind::Keyword ? settings.find(tok_.text) : settings.end();
            if (it == settings.end()) return fail(std::string(what) + " or \"}\"");
            const std::string name = tok_.text;
            const int nameLine = tok_.line;
            advance();
            setting(it->second);
            if (conf_.valid && board && name == "board_type") {
                board->boardType = lastString_;
                board->boardTypeLine = nameLine;
            }
        }
        if (conf_.valid) advance();
    }

    void setting(Value v) {
        if (v == Value::Nothing) return;
        if (v == Value::OptionalEqualsBool && isPunct('='))
            advance();
        else if (v != Value::OptionalEqualsBool && !expectPunct('='))
            return;
        switch (v) {
        case Value::Number:
            if (tok_.kind != Kind::Number) return fail("a number");
            break;
        case Value::Timeout:
            if (tok_.kind != Kind::Number && tok_.kind != Kind::TimeValue)
                return fail("a timeout such as T3s");
            break;
        case Value::String:
            if (tok_.kind != Kind::String) return fail("a text in double quotes");
            lastString_ = tok_.text;
            break;
        case Value::Bool:
        case Value::OptionalEqualsBool:
            if (tok_.kind != Kind::Bool) return fail("yes or no");
            break;
        case Value::Flags:
            while (isPunct(',') || isKeyword("LLO") || isKeyword("DCL") || isKeyword("EXCL"))
                advance();
            return;
        case Value::Nothing:
            return;
        }
        advance();
    }

    Lexer lex_;
    Token tok_;
    GpibConf conf_;
    std::string lastString_;
};

} // namespace

const GpibConfInterface* GpibConf::find(int minor) const {
    for (const auto& i : interfaces)
        if (i.minor == minor) return &i;
    return nullptr;
}

GpibConf parseGpibConf(std::string_view text) {
    return Parser(text).run();
}

} // namespace vellumix::gpib::ni488
