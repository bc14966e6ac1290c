# Finds OpenVDB through the CMake module Debian ships in the library's own
# folder (it also needs Boost.Iostreams, TBB and Blosc) and defines the
# imported target OpenVDB::openvdb in the calling folder.
macro(glomora_find_openvdb)
  find_path(GLOMORA_OPENVDB_MODULE_DIR FindOpenVDB.cmake
            PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/cmake/OpenVDB /usr/lib/cmake/OpenVDB
                  /usr/local/lib/cmake/OpenVDB /usr/local/lib/${CMAKE_LIBRARY_ARCHITECTURE}/cmake/OpenVDB
            NO_DEFAULT_PATH)
  if(NOT GLOMORA_OPENVDB_MODULE_DIR)
    message(FATAL_ERROR "OpenVDB's CMake module was not found: run scripts/setup.sh (libopenvdb-dev)")
  endif()
  list(APPEND CMAKE_MODULE_PATH ${GLOMORA_OPENVDB_MODULE_DIR})
  find_package(OpenVDB REQUIRED COMPONENTS openvdb)
endmacro()
