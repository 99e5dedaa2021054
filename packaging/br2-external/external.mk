include $(sort $(wildcard $(BR2_EXTERNAL_MACTOSN_PATH)/package/*/*.mk))
