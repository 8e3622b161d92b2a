/*
 * The result generator of a recognizer channel: turns one "RESULT" reply of
 * the cloud recognizer into NLSML documents, one per recognized segment.
 */
#ifndef HARKWIRE_NLSML_H
#define HARKWIRE_NLSML_H

#include <list>
#include <string>

#include "apt.h"

class rule;

/* One recognized segment as the document generator prints it. */
struct interpretation_item {
    float score = 0.0f;     /* confidence after rescaling, 0 to 1 */
    std::string text;       /* recognized text */
    std::string times;      /* "start end" as the service sent them */
    std::string kind;       /* always "result" */
};

/* One recognition's input to the document generator. */
struct interpretation_items {
    std::string grammar;    /* value of the grammar attribute */
    std::string mode;       /* capability name of the rule; not printed */
    std::list<interpretation_item> items;
};

/* The "result_param" settings of the configuration that shape a document. */
struct result_param_t {
    std::string format = "%{text}";  /* meaning template with %{text} %{score} %{times} %{type} */
    bool if_channel_id = true;       /* print the channel id as <r0> */
};

typedef bool (*ft_generator_f)(const std::string& channel_id, std::string payload, rule* r,
                               const char* grammar_id, std::list<std::string>* results,
                               const result_param_t& param, bool first_only);
typedef bool (*xml_generator_f)(const std::string& channel_id, interpretation_items& items,
                                std::string& out, rule* r, const result_param_t& param);

class nlsml {
public:
    nlsml();
    ~nlsml();

    /*
     * Makes the documents of one reply into 'results' (cleared first); with first_only
     * only the first segment's (a voice-mode recognition uses no other). False when no
     * document was made. Never throws: it runs in a connection's message handler.
     */
    bool generate_result(const std::string& channel_id, std::string payload, const char* capability,
                         rule* r, const char* grammar_id, bool first_only = false);

    ft_generator_f ft_generator;
    xml_generator_f xml_generator;
    std::list<std::string> results;  /* documents of the last reply, valid until the next call */
    result_param_t result_param;     /* copied from the configuration at channel create */
};

/* Installs the generators with the default result settings; always TRUE. */
apt_bool_t init_recog_nlsm(nlsml* generator);
/* The same with the configured template (NULL keeps "%{text}") and channel-id flag. */
apt_bool_t init_recog_nlsm(nlsml* generator, const char* result_format, apt_bool_t if_channel_id);

#endif /* HARKWIRE_NLSML_H */
