# The graphics-buffer allocation module, built inside an Android 4.0 device tree: the loader opens
# it as hw/gralloc.<board>.so and finds HMI, the one symbol it exports. Sources, flags and libraries
# are those of CMakeLists.txt beside this file; the test android_mk_matches_cmake fails when the two
# drift apart.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)

LOCAL_MODULE := gralloc.$(TARGET_BOARD_PLATFORM)
LOCAL_MODULE_PATH := $(TARGET_OUT_SHARED_LIBRARIES)/hw
LOCAL_MODULE_TAGS := optional

LOCAL_SRC_FILES := \
	hal.cpp \
	gralloc.cpp \
	gralloc_blit.cpp \
	gralloc_defer.cpp \
	gralloc_handle.cpp \
	mapper.cpp \
	framebuffer.cpp \
	buffer_generic.cpp \
	buffer_c110.cpp

# The module's own headers, and the vendor's headers of the services and 2D libraries. Android's
# libhardware and cutils headers come with the device tree.
LOCAL_C_INCLUDES := \
	$(LOCAL_PATH) \
	$(LOCAL_PATH)/../vendor/include

# Only HMI leaves the library; the module is plain C++ without exceptions or run-time types.
LOCAL_CFLAGS := -Wall -Wextra -Werror -fvisibility=hidden
LOCAL_CPPFLAGS := -std=gnu++17 -fno-exceptions -fno-rtti -fvisibility-inlines-hidden
LOCAL_LDFLAGS := -Wl,--no-undefined

# The services and 2D libraries of the GPU vendor and cutils for native handles, which the CMake
# build links too. POSIX threads are part of Android's libc; the GLES1 driver is loaded through
# the services library, so the module needs no libdl.
LOCAL_SHARED_LIBRARIES := \
	libcutils \
	libzolsrv \
	libzol2d

include $(BUILD_SHARED_LIBRARY)
