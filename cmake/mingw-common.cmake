# Shared by both MinGW-w64 toolchains: the posix thread model, so std::thread
# and std::mutex work, linked statically so no runtime DLL has to ship.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(MONITOR_WINDMC ${MINGW_PREFIX}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--dynamicbase -Wl,--nxcompat")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--dynamicbase -Wl,--nxcompat")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--dynamicbase -Wl,--nxcompat")
