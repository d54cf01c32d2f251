#include "paths/path_spec_syntax.h"

const path_variable_entry path_variables[path_variable_count] = {
    {"TEMP", path_variable::temp},
    {"PROGRAM", path_variable::program},
    {"PROGRAM_BASE", path_variable::program_base},
    {"PROGRAM_DIR", path_variable::program_dir},
    {"PID", path_variable::pid},
    {"HOME", path_variable::home},
    {"CACHE_DIR", path_variable::cache_dir},
    {"LOCAL_APPDATA", path_variable::local_appdata},
    {"COMPANY", path_variable::company},
    {"PRODUCT", path_variable::product},
    {"VERSION", path_variable::version},
    {"FILE_VERSION", path_variable::file_version},
    {"PRODUCT_VERSION", path_variable::product_version},
    {"RANDOM", path_variable::random},
    {"TIME_US", path_variable::time_us},
    {"TIME", path_variable::time},
    {"DIGEST", path_variable::digest},
};
