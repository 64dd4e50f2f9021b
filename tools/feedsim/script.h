// script.h - scripted mode: a text file of messages and directives, replayed exactly.
//
// Format (docs/feedsim.md): one message per line, "TYPE INSREF TAG=VALUE ...", TYPE a
// number or a message type name; "TAG=" an empty value, a bare "TAG" a null value; values
// escaped as in text_escape.h; "#" starts a comment line; directives "@sleep MS",
// "@expect-request", "@disconnect", "@logoff CODE", "@no-logon-reply", "@idle".
// A Script is parsed once at start-up and then only read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace feedsim {

struct ScriptStep {
    enum Kind { Message, Sleep, ExpectRequest, Disconnect, Logoff, NoLogonReply, Idle };
    Kind kind = Message;
    int argument = 0;            // milliseconds for Sleep, status code for Logoff
    std::vector<uint8_t> frame;  // the encoded message for Message
    int line = 0;
};

// Parses the text of a script. false with "line N: what" in *error on the first bad line.
bool parse_script(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);
bool load_script(const char* path, std::vector<ScriptStep>* steps, std::string* error);

}  // namespace feedsim
