/* The server's side of engines and channels: not for plug-ins. */
#ifndef MRCP_ENGINE_IFACE_H
#define MRCP_ENGINE_IFACE_H

#include "mrcp_engine_impl.h"

APT_BEGIN_EXTERN_C

/* Gives the channel that the plug-in creates from this pool its id and MRCP version: the server calls it on the
   channel pool before the engine's create_channel, and mrcp_engine_channel_create picks both up. */
MRCP_DECLARE(apt_bool_t) mrcp_engine_channel_identity_set(apr_pool_t *channel_pool, const char *id, mrcp_version_e version);

APT_END_EXTERN_C

#endif
