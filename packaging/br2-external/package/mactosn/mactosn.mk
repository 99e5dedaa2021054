################################################################################
#
# mactosn
#
################################################################################

MACTOSN_VERSION = 1.0.0
# This tree sits in the project's own checkout; to build another one, set
# MACTOSN_OVERRIDE_SRCDIR in local.mk.
MACTOSN_SITE = $(BR2_EXTERNAL_MACTOSN_PATH)/../..
MACTOSN_SITE_METHOD = local
# What git ignores (builds, caches) stays out of the copy.
MACTOSN_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --filter=':- .gitignore'
MACTOSN_LICENSE = PROPRIETARY
MACTOSN_REDISTRIBUTE = NO
MACTOSN_SUPPORTS_IN_SOURCE_BUILD = NO

# The list's generator runs on the build host. Its own Python will do if
# new enough; building host-python3 instead costs every integrator.
MACTOSN_HOST_PYTHON3 := $(call suitable-host-package,python3,3.6 python3 python)
ifeq ($(MACTOSN_HOST_PYTHON3),)
MACTOSN_DEPENDENCIES += host-python3
endif

MACTOSN_CONF_OPTS = \
	-DCMAKE_INSTALL_PREFIX=/ZOR/System \
	-DPython3_EXECUTABLE=$(or $(MACTOSN_HOST_PYTHON3),$(HOST_DIR)/bin/python3) \
	-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=$(if $(BR2_ENABLE_LTO),ON,OFF) \
	-DMACTOSN_FULLY_STATIC=$(if $(BR2_STATIC_LIBS),ON,OFF)

# Each list path is one word of the configure command, spaces and all.
MACTOSN_SHELL_WORD = '$(subst ','\'',$(1))'
MACTOSN_SERIAL_LIST = $(call qstrip,$(BR2_PACKAGE_MACTOSN_SERIAL_LIST))
MACTOSN_PREVIOUS_LIST = $(call qstrip,$(BR2_PACKAGE_MACTOSN_PREVIOUS_LIST))
MACTOSN_LIST_CHANGES_ALLOWED = $(call qstrip,$(BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED))
ifneq ($(MACTOSN_SERIAL_LIST),)
MACTOSN_CONF_OPTS += -DMACTOSN_SERIAL_LIST=$(call MACTOSN_SHELL_WORD,$(MACTOSN_SERIAL_LIST))
endif
# A tool built from the stand-in answers no real device: only on request.
# Checked while building only, so that the configuration tools still run.
ifeq ($(BR2_PACKAGE_MACTOSN)$(BR_BUILDING),yy)
ifeq ($(MACTOSN_SERIAL_LIST)$(BR2_PACKAGE_MACTOSN_STANDIN_LIST),)
$(error BR2_PACKAGE_MACTOSN_SERIAL_LIST is empty: name the maker's MAC-to-serial list, or set BR2_PACKAGE_MACTOSN_STANDIN_LIST to build with the bundled stand-in list, which no real device is in)
endif
endif
ifneq ($(MACTOSN_PREVIOUS_LIST),)
MACTOSN_CONF_OPTS += -DMACTOSN_PREVIOUS_LIST=$(call MACTOSN_SHELL_WORD,$(MACTOSN_PREVIOUS_LIST))
endif
ifneq ($(MACTOSN_LIST_CHANGES_ALLOWED),)
MACTOSN_CONF_OPTS += -DMACTOSN_LIST_CHANGES_ALLOWED=$(call MACTOSN_SHELL_WORD,$(MACTOSN_LIST_CHANGES_ALLOWED))
endif

# With BR2_REPRODUCIBLE the toolchain wrapper maps $(BASE_DIR) to "buildroot"
# ahead of every flag the build adds, where the project cannot see it. Named
# in the flags too, that map stays, rather than the project's own.
ifeq ($(BR2_REPRODUCIBLE),y)
MACTOSN_CONF_OPTS += -DCMAKE_CXX_FLAGS="$(TARGET_CXXFLAGS) -ffile-prefix-map=$(BASE_DIR)=buildroot"
endif

# fix-rpath drops every run-path entry that is not a folder of the target
# tree: without it the tool's /ZOR/System/Libs would go. A fully static
# tool has no run path.
ifeq ($(BR2_STATIC_LIBS),)
define MACTOSN_CREATE_LIBS_DIR
	mkdir -p $(TARGET_DIR)/ZOR/System/Libs
endef
MACTOSN_POST_INSTALL_TARGET_HOOKS += MACTOSN_CREATE_LIBS_DIR
endif

$(eval $(cmake-package))
