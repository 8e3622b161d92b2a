/* The property every NLSML document must have, whatever the reply held: a conforming XML 1.0
 * parser reads it (well-formed, only XML characters, valid UTF-8) and its root is "result". */
#ifndef FUZZ_DOCUMENT_CHECK_H
#define FUZZ_DOCUMENT_CHECK_H

#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "fuzz_common.h"

inline void check_document(const std::string& text)
{
    /* No network, no entity expansion, errors not printed by the library: reported below. */
    xmlDocPtr doc = xmlReadMemory(text.data(), (int)text.size(), "nlsml.xml", NULL,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        const xmlError* error = xmlGetLastError();
        fprintf(stderr, "unreadable document: %s\n%s\n", error && error->message ? error->message : "?",
                text.c_str());
    }
    FUZZ_CHECK(doc);
    const xmlNode* root = xmlDocGetRootElement(doc);
    FUZZ_CHECK(root && std::string((const char*)root->name) == "result");
    xmlFreeDoc(doc);
}

#endif
