#include "app/upload_state.h"

UploadState upload_state;
