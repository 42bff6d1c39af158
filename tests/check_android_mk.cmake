# Fails when graphicshal/Android.mk no longer builds what the CMake build builds: the same sources,
# the same compile and link flags, the same libraries, into hw/gralloc.<board>.so.
# EXPECT names the file the configuration wrote with the CMake build's values; ANDROID_MK the file
# to check. MUTATE (drop-source, extra-flag, drop-library) changes what was read first, so that a
# test can show that a drift is caught.
cmake_minimum_required(VERSION 3.25)
include(${EXPECT})
file(READ ${ANDROID_MK} TEXT)
# Continued lines are one assignment.
string(REGEX REPLACE "\\\\\n" " " TEXT "${TEXT}")
string(REPLACE "\n" ";" LINES "${TEXT}")

set(ASSIGNED "")
foreach(LINE IN LISTS LINES)
  if(LINE MATCHES "^[ \t]*(LOCAL_[A-Z_]+)[ \t]*:=(.*)$")
    set(NAME ${CMAKE_MATCH_1})
    string(STRIP "${CMAKE_MATCH_2}" VALUE)
    separate_arguments(VALUE UNIX_COMMAND "${VALUE}")
    if(NAME IN_LIST ASSIGNED)
      message(FATAL_ERROR "${NAME} is assigned twice")
    endif()
    list(APPEND ASSIGNED ${NAME})
    set(MK_${NAME} "${VALUE}")
  endif()
endforeach()

if(MUTATE STREQUAL "drop-source")
  list(POP_BACK MK_LOCAL_SRC_FILES)
elseif(MUTATE STREQUAL "extra-flag")
  list(APPEND MK_LOCAL_CFLAGS -O0)
elseif(MUTATE STREQUAL "drop-library")
  list(REMOVE_ITEM MK_LOCAL_SHARED_LIBRARIES libzol2d)
endif()

set(FAILURES "")
# Compares two lists as sets: order carries no meaning in either build.
function(expect_same WHAT ACTUAL EXPECTED)
  set(MISSING ${EXPECTED})
  set(EXTRA ${ACTUAL})
  if(ACTUAL)
    list(REMOVE_ITEM MISSING ${ACTUAL})
  endif()
  if(EXPECTED)
    list(REMOVE_ITEM EXTRA ${EXPECTED})
  endif()
  if(MISSING OR EXTRA)
    set(FAILURES "${FAILURES}\n  ${WHAT}: missing [${MISSING}], not in the CMake build [${EXTRA}]" PARENT_SCOPE)
  endif()
endfunction()

expect_same("LOCAL_SRC_FILES" "${MK_LOCAL_SRC_FILES}" "${CMAKE_SOURCES}")

# The compile flags: the target's own options, its visibility presets and its language standard.
set(EXPECTED_FLAGS ${CMAKE_COMPILE_OPTIONS})
if(CMAKE_VISIBILITY STREQUAL "hidden")
  list(APPEND EXPECTED_FLAGS -fvisibility=hidden)
endif()
if(CMAKE_VISIBILITY_INLINES)
  list(APPEND EXPECTED_FLAGS -fvisibility-inlines-hidden)
endif()
list(APPEND EXPECTED_FLAGS -std=${CMAKE_CXX_STD})
expect_same("LOCAL_CFLAGS and LOCAL_CPPFLAGS" "${MK_LOCAL_CFLAGS};${MK_LOCAL_CPPFLAGS}" "${EXPECTED_FLAGS}")
expect_same("LOCAL_LDFLAGS" "${MK_LOCAL_LDFLAGS}" "${CMAKE_LINK_OPTIONS}")

# Libraries by their Android names; POSIX threads live in Android's libc.
set(EXPECTED_LIBS "")
foreach(LIB IN LISTS CMAKE_LINK_LIBRARIES)
  if(NOT LIB STREQUAL "pthread")
    list(APPEND EXPECTED_LIBS lib${LIB})
  endif()
endforeach()
expect_same("LOCAL_SHARED_LIBRARIES" "${MK_LOCAL_SHARED_LIBRARIES}" "${EXPECTED_LIBS}")

# The include directories, but Android's own headers, which the device tree provides.
set(EXPECTED_INCLUDES "")
foreach(DIR IN LISTS CMAKE_INCLUDE_DIRECTORIES)
  file(RELATIVE_PATH REL ${CMAKE_MODULE_DIR} ${DIR})
  if(REL STREQUAL "")
    list(APPEND EXPECTED_INCLUDES "$(LOCAL_PATH)")
  elseif(NOT REL STREQUAL "../android/include")
    list(APPEND EXPECTED_INCLUDES "$(LOCAL_PATH)/${REL}")
  endif()
endforeach()
expect_same("LOCAL_C_INCLUDES" "${MK_LOCAL_C_INCLUDES}" "${EXPECTED_INCLUDES}")

if(NOT CMAKE_OUTPUT_NAME MATCHES "^gralloc\\.")
  set(FAILURES "${FAILURES}\n  the CMake build no longer makes gralloc.<board>")
endif()
if(NOT MK_LOCAL_MODULE STREQUAL "gralloc.$(TARGET_BOARD_PLATFORM)")
  set(FAILURES "${FAILURES}\n  LOCAL_MODULE must be gralloc.$(TARGET_BOARD_PLATFORM), is ${MK_LOCAL_MODULE}")
endif()
if(NOT MK_LOCAL_MODULE_PATH STREQUAL "$(TARGET_OUT_SHARED_LIBRARIES)/hw")
  set(FAILURES "${FAILURES}\n  LOCAL_MODULE_PATH must be $(TARGET_OUT_SHARED_LIBRARIES)/hw, is ${MK_LOCAL_MODULE_PATH}")
endif()

if(FAILURES)
  # The fixed words come first: CMake wraps a long message, and where it breaks depends on the
  # length of the path.
  message(FATAL_ERROR "Android.mk has drifted from the CMake build (${ANDROID_MK}):${FAILURES}")
endif()
message(STATUS "${ANDROID_MK} builds what the CMake build builds")
