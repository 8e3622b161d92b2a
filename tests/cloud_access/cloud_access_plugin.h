// The test build's half of the cloud access seam: the settings record the token client reads.
#ifndef CLOUD_ACCESS_TEST_PLUGIN_H
#define CLOUD_ACCESS_TEST_PLUGIN_H

typedef struct system_t system_t;
struct system_t {
    int token_interval_sec;
    const char* token_server;
    const char* auth_user_name;
    const char* auth_user_password;
    const char* auth_user_domain_name;
    const char* auth_scope_project_name;
};

#endif
