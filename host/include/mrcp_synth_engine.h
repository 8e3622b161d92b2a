/* Everything a synthesizer plug-in needs. */
#ifndef MRCP_SYNTH_ENGINE_H
#define MRCP_SYNTH_ENGINE_H

#include "mrcp_engine_plugin.h"
#include "mrcp_engine_impl.h"
#include "mrcp_synth_resource.h"
#include "mrcp_synth_header.h"
#include "mrcp_generic_header.h"
#include "mrcp_message.h"

#endif
