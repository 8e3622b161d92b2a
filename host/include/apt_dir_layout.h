/* Directory layout of the server installation. */
#ifndef APT_DIR_LAYOUT_H
#define APT_DIR_LAYOUT_H

#include "apt.h"

APT_BEGIN_EXTERN_C

typedef enum {
	APT_LAYOUT_CONF_DIR,
	APT_LAYOUT_PLUGIN_DIR,
	APT_LAYOUT_LOG_DIR,
	APT_LAYOUT_DATA_DIR,
	APT_LAYOUT_VAR_DIR,
	APT_LAYOUT_DIR_COUNT,
	APT_LAYOUT_EXT_DIR = APT_LAYOUT_DIR_COUNT
} apt_dir_entry_id;

typedef struct apt_dir_layout_t apt_dir_layout_t;

APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create(apr_pool_t *pool);
APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create_ext(apr_size_t count, apr_pool_t *pool);
APT_DECLARE(apt_dir_layout_t*) apt_default_dir_layout_create(const char *root_dir_path, apr_pool_t *pool);
APT_DECLARE(apt_dir_layout_t*) apt_custom_dir_layout_create(const char *conf_dir_path, const char *plugin_dir_path,
                                                            const char *log_dir_path, const char *data_dir_path,
                                                            const char *var_dir_path, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_dir_layout_path_set(apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id,
                                                const char *path, apr_pool_t *pool);
/* NULL for a NULL layout, an id out of range or an unset entry. */
APT_DECLARE(const char*) apt_dir_layout_path_get(const apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id);
APT_DECLARE(char*) apt_dir_layout_path_compose(const apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id,
                                               const char *file_name, apr_pool_t *pool);
APT_DECLARE(char*) apt_confdir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool);
APT_DECLARE(char*) apt_datadir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool);
APT_DECLARE(char*) apt_vardir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool);

APT_END_EXTERN_C

#endif
