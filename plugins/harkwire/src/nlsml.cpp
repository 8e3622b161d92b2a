#include "nlsml.h"

#include <strings.h>

#include <exception>
#include <utility>

#include "apt_log.h"
#include "mrcp_asr_result.h"
#include "rule.h"

nlsml::nlsml()
    : ft_generator(NULL),
      xml_generator(NULL)
{
}

nlsml::~nlsml()
{
    results.clear();
}

bool nlsml::generate_result(const std::string& channel_id, std::string payload, const char* capability,
                            rule* r, const char* grammar_id, bool first_only)
{
    results.clear();
    /* A channel that never chose a capability has none: that is no engine type either. */
    if (capability && strcasecmp(capability, "asr.cloud.freetalk") == 0) {
        if (!ft_generator)
            return false;
        try {
            return ft_generator(channel_id, std::move(payload), r, grammar_id, &results, result_param, first_only);
        } catch (const std::exception& e) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "generate result failed <%s>: %s", channel_id.c_str(), e.what());
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "generate result failed <%s>", channel_id.c_str());
        }
        results.clear();
        return false;
    }
    if (capability && (strcasecmp(capability, "asr.cloud.grammar") == 0 ||
                       strcasecmp(capability, "asr.cloud.keywordspot") == 0 ||
                       strcasecmp(capability, "asr.cloud.analysis") == 0)) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "%s not implement", capability);
        return false;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "engine type is invalid!");
    return false;
}

apt_bool_t init_recog_nlsm(nlsml* generator)
{
    if (!generator)
        return FALSE;
    generator->ft_generator = generate_ft_result;
    generator->xml_generator = generate_xml_result;
    return TRUE;
}

apt_bool_t init_recog_nlsm(nlsml* generator, const char* result_format, apt_bool_t if_channel_id)
{
    if (!init_recog_nlsm(generator))
        return FALSE;
    generator->result_param.format = result_format ? result_format : "%{text}";
    generator->result_param.if_channel_id = if_channel_id != FALSE;
    return TRUE;
}
