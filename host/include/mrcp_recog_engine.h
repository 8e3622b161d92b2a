/* Everything a recognizer plug-in needs. */
#ifndef MRCP_RECOG_ENGINE_H
#define MRCP_RECOG_ENGINE_H

#include "mrcp_engine_plugin.h"
#include "mrcp_engine_impl.h"
#include "mrcp_recog_resource.h"
#include "mrcp_recog_header.h"
#include "mrcp_generic_header.h"
#include "mrcp_message.h"

#endif
