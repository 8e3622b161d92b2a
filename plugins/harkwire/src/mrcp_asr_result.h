/*
 * NLSML documents of the free-talk recognizer: the plain recognition result
 * and the question-answer result.
 */
#ifndef HARKWIRE_MRCP_ASR_RESULT_H
#define HARKWIRE_MRCP_ASR_RESULT_H

#include <list>
#include <string>

#include <json/json.h>

#include "nlsml.h"

class rule;

/* Parses a "RESULT" reply and appends one document per valid segment to 'results'
 * (with first_only, only the first segment's). */
bool generate_ft_result(const std::string& channel_id, std::string payload, rule* r, const char* grammar_id,
                        std::list<std::string>* results, const result_param_t& param, bool first_only = false);

/* Prints one document with one interpretation per item into 'out' (the question-answer
 * form when the rule asked for question answering). */
bool generate_xml_result(const std::string& channel_id, interpretation_items& items, std::string& out, rule* r,
                         const result_param_t& param);

/* The question-answer form; false when an item is not a usable answer (the document
 * printed so far is still in 'out'). */
bool generate_qa_xml_result(interpretation_items& items, std::string& out, rule* r);

/* Capability name of a mask holding exactly one known bit, else empty. */
std::string get_ruleref_uri(unsigned short mask);

/* Replaces every 'from' in 's' by 'to', never searching the inserted text again. */
std::string& replace_str(std::string& s, const std::string& from, const std::string& to);

/* Removes every 'what' from 's', also those formed by a removal; an empty 'what' changes nothing. */
std::string& delete_str(std::string& s, const std::string& what);

/* The answer step of the question-answer form: produces no text and returns false. */
bool nlu_answer(Json::Value& answer, std::string& qa_result, std::string& out);

/* Text as NLSML carries it: & < > " ' as entities, TAB, LF and CR as character references,
 * U+FFFD in place of every other control character below 32, of U+FFFE and U+FFFF (no XML 1.0
 * characters) and of each byte that is not part of a well-formed UTF-8 character. */
std::string nlsml_escape(const std::string& text);

/* The confidence text of a score ("%.2f"), whatever its size. */
std::string nlsml_score_text(double score);

#endif /* HARKWIRE_MRCP_ASR_RESULT_H */
