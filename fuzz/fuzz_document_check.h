/* The property every NLSML document must have, whatever the reply held: it reads back as XML. */
#ifndef FUZZ_DOCUMENT_CHECK_H
#define FUZZ_DOCUMENT_CHECK_H

#include <string>

#include <tinyxml.h>

#include "fuzz_common.h"

inline void check_document(const std::string& text)
{
    TiXmlDocument doc;
    doc.Parse(text.c_str(), NULL, TIXML_ENCODING_UTF8);
    if (doc.Error())
        fprintf(stderr, "unreadable document: %s\n%s\n", doc.ErrorDesc(), text.c_str());
    FUZZ_CHECK(!doc.Error());
    FUZZ_CHECK(doc.RootElement() && std::string(doc.RootElement()->Value()) == "result");
}

#endif
