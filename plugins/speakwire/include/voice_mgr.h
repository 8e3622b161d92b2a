/*
 * The voices the synthesis service offers, and the choice of one for a SPEAK
 * from the channel's Voice-Name.
 */
#ifndef SPEAKWIRE_VOICE_MGR_H
#define SPEAKWIRE_VOICE_MGR_H

#include <string>
#include <vector>

#include "apt.h"

/* Size of the buffer that receives a voice identifier. */
#define VOICE_ID_SIZE 40

/* The fixed voice identifiers in table order, built on first use. */
const std::vector<std::string> &names();

/* The voice used when the request names none. */
const char *default_voice();

/*
 * Copies into voice_id (VOICE_ID_SIZE bytes) the first voice whose identifier
 * holds "_" + name + "_"; the default voice for a NULL name. FALSE when no
 * voice matches. lang, gender, age and domain take no part in the choice.
 */
apt_bool_t find_voice(char *voice_id, const char *name, apr_int32_t lang, apr_int32_t gender, apr_int32_t age,
                      apr_int32_t domain);

#endif
