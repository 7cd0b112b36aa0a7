# The driver's sources, shared by the host build and the Windows build.
set(KDX_DRIVER_SOURCES
    driver/entry.cpp
    driver/io_count.cpp
    driver/request.cpp
    not_yet_built.cpp
)
list(TRANSFORM KDX_DRIVER_SOURCES PREPEND "${CMAKE_CURRENT_LIST_DIR}/")

# Warnings are errors in both builds: the driver compiles clean with -Wall -Wextra.
set(KDX_DRIVER_WARNINGS -Wall -Wextra -Werror)
