// Path buffers of the installer and the names it installs under.
#pragma once

// Every path and image path buffer holds this many bytes, NUL included.
#define PATH_BUFFER_SIZE 520
#define INSTALLED_FILE_NAME "VYRIASRW.EXE"
