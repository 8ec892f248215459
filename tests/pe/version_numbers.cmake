# cmake -DVERSION=... -P: what the build makes of a project version for the version resource.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/quindle.cmake)
quindle_version_numbers(${VERSION} numbers)
message("${numbers}")
