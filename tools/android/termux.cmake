# CMake as Termux's reports itself: system and host "Android", no NDK (a
# native build on the phone).  For checking on Linux what the build does
# there; a real Termux needs no toolchain file.
set(CMAKE_HOST_SYSTEM_NAME Android)
set(CMAKE_SYSTEM_NAME Android)
set(CMAKE_SYSTEM_VERSION 24)
set(CMAKE_CROSSCOMPILING FALSE)  # as there: host and system are the same
message(STATUS "CMake as Termux's: ${CMAKE_SYSTEM_NAME}")
