// Rule documents: word lists, JSGF and XML rule documents. The input is split at
// zero bytes into up to four texts parsed one after the other on one channel's
// rule document, since every parse adds to what the earlier ones left.
#include <list>
#include <string>

#include <json/json.h>

#include "fuzz_common.h"
#include "recog_session.h"
#include "rule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string input(reinterpret_cast<const char*>(data), size);
    rule document;
    size_t start = 0;
    for (int n = 0; n < 4 && start <= input.size(); ++n) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        std::string text = input.substr(start, end - start);
        document.parse_rule(text.c_str());
        start = end + 1;
    }
    /* What the reply handler and RECOGNIZE read after a parse. */
    std::string keywords = document.get_keyword_list();
    document.get_buildin_keyword_name();
    document.get_grammar_content();
    for (const auto& entry : document.keyword_.word_types) {
        std::string word = entry.first;
        std::list<std::string> types;
        /* A built-in keyword set answers no lookup; a listed word always finds its types. */
        FUZZ_CHECK(document.find_keyword_type(word, types) == !document.keyword_.buildin);
    }
    /* The START command carries the domain and the timing values of the rule's params. */
    std::string start_command = build_start_command("chinese", document.domain_, recog_start_timing_from_rule(document), NULL);
    Json::Value command;
    Json::Reader reader;
    FUZZ_CHECK(reader.parse(start_command, command, false) && command.isObject());
    FUZZ_CHECK(command["command"].asString() == "START");
    rule snapshot(document);
    FUZZ_CHECK(snapshot.get_keyword_list() == keywords);
    return 0;
}
