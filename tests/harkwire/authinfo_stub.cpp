// Stands in for the cloud access code's auth_info reader until that code is part of the build.
#include "recog_properties.h"

apt_bool_t authinfo_properties_load(system_t*, const apr_xml_elem*, apr_pool_t*)
{
    return TRUE;
}
