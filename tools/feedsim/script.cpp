// script.cpp - the script parser (see script.h).
#include "tools/feedsim/script.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libqdf/wire.h"
#include "tools/feedsim/text_escape.h"

namespace feedsim {

namespace {

std::vector<std::string> split_blanks(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool parse_unsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) return false;
    *value = v;
    return true;
}

bool parse_line(const std::vector<std::string>& words, ScriptStep* step, std::string* error) {
    const std::string& first = words[0];
    if (first[0] == '@') {
        uint64_t v = 0;
        auto want_args = [&](size_t n) {
            if (words.size() != n + 1) {
                *error = first + (n == 0 ? " takes no argument" : " needs one number");
                return false;
            }
            return true;
        };
        if (first == "@sleep") {
            if (!want_args(1)) return false;
            if (!parse_unsigned(words[1], 86400000, &v)) {
                *error = "@sleep needs milliseconds (0 to 86400000)";
                return false;
            }
            step->kind = ScriptStep::Sleep;
        } else if (first == "@logoff") {
            if (!want_args(1)) return false;
            if (!parse_unsigned(words[1], 2147483647, &v)) {
                *error = "@logoff needs a status code";
                return false;
            }
            step->kind = ScriptStep::Logoff;
        } else if (first == "@expect-request") {
            if (!want_args(0)) return false;
            step->kind = ScriptStep::ExpectRequest;
        } else if (first == "@disconnect") {
            if (!want_args(0)) return false;
            step->kind = ScriptStep::Disconnect;
        } else if (first == "@no-logon-reply") {
            if (!want_args(0)) return false;
            step->kind = ScriptStep::NoLogonReply;
        } else if (first == "@idle") {
            if (!want_args(0)) return false;
            step->kind = ScriptStep::Idle;
        } else {
            *error = "unknown directive " + first;
            return false;
        }
        step->argument = static_cast<int>(v);
        return true;
    }

    if (words.size() < 2) {
        *error = "a message needs TYPE and INSREF";
        return false;
    }
    int type = qdf_wire::type_from_name(first.data(), first.size());
    uint64_t v = 0;
    if (type < 0) {
        if (!parse_unsigned(first, qdf_wire::kControlTypeBase - 1, &v)) {
            *error = "unknown message type " + first;
            return false;
        }
        type = static_cast<int>(v);
    }
    uint64_t insref = 0;
    if (!parse_unsigned(words[1], UINT64_MAX, &insref)) {
        *error = "instrument reference is not an unsigned number: " + words[1];
        return false;
    }
    step->kind = ScriptStep::Message;
    qdf_wire::FrameWriter writer(&step->frame);
    writer.begin(static_cast<uint16_t>(type), insref);
    std::string value;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& w = words[i];
        size_t eq = w.find('=');
        std::string tag_text = eq == std::string::npos ? w : w.substr(0, eq);
        uint64_t tag = 0;
        if (!parse_unsigned(tag_text, UINT32_MAX, &tag)) {
            *error = "field tag is not a number: " + w;
            return false;
        }
        bool ok;
        if (eq == std::string::npos) {
            ok = writer.null_field(static_cast<uint32_t>(tag));
        } else {
            if (!unescape(w.data() + eq + 1, w.size() - eq - 1, &value, error)) {
                *error = "field " + tag_text + ": " + *error;
                return false;
            }
            ok = writer.field(static_cast<uint32_t>(tag), qdf_wire::kString, value.data(),
                              value.size());
        }
        if (!ok) {
            *error = "message too large for one frame";
            return false;
        }
    }
    writer.end();
    return true;
}

}  // namespace

bool parse_script(const std::string& text, std::vector<ScriptStep>* steps, std::string* error) {
    steps->clear();
    size_t pos = 0;
    int line_number = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words = split_blanks(line);
        if (words.empty() || words[0][0] == '#') continue;
        ScriptStep step;
        step.line = line_number;
        std::string why;
        if (!parse_line(words, &step, &why)) {
            *error = "line " + std::to_string(line_number) + ": " + why;
            return false;
        }
        steps->push_back(std::move(step));
    }
    return true;
}

bool load_script(const char* path, std::vector<ScriptStep>* steps, std::string* error) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        *error = std::string("cannot open script ") + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) {
        *error = std::string("cannot read script ") + path;
        return false;
    }
    if (!parse_script(text, steps, error)) {
        *error = std::string(path) + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace feedsim
