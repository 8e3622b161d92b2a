/* Directory layout: one path per entry id. */
#include <apr_file_info.h>
#include "apt_dir_layout.h"

struct apt_dir_layout_t {
	char **paths;
	apr_size_t count;
};

APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create_ext(apr_size_t count, apr_pool_t *pool)
{
	apt_dir_layout_t *layout = (apt_dir_layout_t*)apr_palloc(pool, sizeof(apt_dir_layout_t));
	layout->count = count;
	layout->paths = (char**)apr_pcalloc(pool, sizeof(char*) * (count ? count : 1));
	return layout;
}

APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create(apr_pool_t *pool)
{
	return apt_dir_layout_create_ext(APT_LAYOUT_DIR_COUNT, pool);
}

APT_DECLARE(apt_dir_layout_t*) apt_default_dir_layout_create(const char *root_dir_path, apr_pool_t *pool)
{
	static const char *const sub_dirs[APT_LAYOUT_DIR_COUNT] = {"conf", "plugin", "log", "data", "var"};
	apt_dir_layout_t *layout = apt_dir_layout_create(pool);
	const char *root = root_dir_path ? root_dir_path : "../";
	for(apr_size_t i = 0; i < APT_LAYOUT_DIR_COUNT; i++) {
		char *path = NULL;
		if(apr_filepath_merge(&path, root, sub_dirs[i], APR_FILEPATH_NATIVE, pool) == APR_SUCCESS)
			layout->paths[i] = path;
	}
	return layout;
}

APT_DECLARE(apt_dir_layout_t*) apt_custom_dir_layout_create(const char *conf_dir_path, const char *plugin_dir_path,
                                                            const char *log_dir_path, const char *data_dir_path,
                                                            const char *var_dir_path, apr_pool_t *pool)
{
	apt_dir_layout_t *layout = apt_dir_layout_create(pool);
	const char *paths[APT_LAYOUT_DIR_COUNT] = {conf_dir_path, plugin_dir_path, log_dir_path, data_dir_path, var_dir_path};
	for(apr_size_t i = 0; i < APT_LAYOUT_DIR_COUNT; i++) {
		if(paths[i])
			layout->paths[i] = apr_pstrdup(pool, paths[i]);
	}
	return layout;
}

APT_DECLARE(apt_bool_t) apt_dir_layout_path_set(apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id,
                                                const char *path, apr_pool_t *pool)
{
	if(!dir_layout || dir_entry_id >= dir_layout->count || !path)
		return FALSE;
	dir_layout->paths[dir_entry_id] = apr_pstrdup(pool, path);
	return TRUE;
}

APT_DECLARE(const char*) apt_dir_layout_path_get(const apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id)
{
	if(!dir_layout || dir_entry_id >= dir_layout->count)
		return NULL;
	return dir_layout->paths[dir_entry_id];
}

APT_DECLARE(char*) apt_dir_layout_path_compose(const apt_dir_layout_t *dir_layout, apr_size_t dir_entry_id,
                                               const char *file_name, apr_pool_t *pool)
{
	const char *dir = apt_dir_layout_path_get(dir_layout, dir_entry_id);
	if(!dir || !file_name)
		return NULL;
	char *path = NULL;
	if(apr_filepath_merge(&path, dir, file_name, APR_FILEPATH_NATIVE, pool) != APR_SUCCESS)
		return NULL;
	return path;
}

APT_DECLARE(char*) apt_confdir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool)
{
	return apt_dir_layout_path_compose(dir_layout, APT_LAYOUT_CONF_DIR, file_name, pool);
}

APT_DECLARE(char*) apt_datadir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool)
{
	return apt_dir_layout_path_compose(dir_layout, APT_LAYOUT_DATA_DIR, file_name, pool);
}

APT_DECLARE(char*) apt_vardir_filepath_get(const apt_dir_layout_t *dir_layout, const char *file_name, apr_pool_t *pool)
{
	return apt_dir_layout_path_compose(dir_layout, APT_LAYOUT_VAR_DIR, file_name, pool);
}
