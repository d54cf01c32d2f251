#include "pe/pe_image.h"
