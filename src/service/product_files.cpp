// The product's file names (see product_files.h), given by the build.
#include "service/product_files.h"

const char* ControllerFileName() {
    return QVL_CONTROLLER_FILE;
}

const char* KillFileName() {
    return QVL_KILL_FILE;
}
