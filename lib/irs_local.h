// The in-process transport's calls, each file's share of the table in irs_local.cpp.
#pragma once

#include "irs_session.h"

int irsLocalSetLinkLimits(IrsPort& port, int maxWindow, int maxFrame);
void irsLocalClose(IrsPort& port);
int irsLocalOpenChannel(IrsPort& port, const IrsService& service, int timeoutMs,
                        irs_channel** channel);
int irsLocalSetIdentity(IrsPort& port, const char* nickname, uint16_t hints);
int irsLocalDiscover(IrsPort& port, int timeoutMs, irs_device* devices, int maxDevices);
int irsLocalDescribe(IrsPort& port, IrsChannel& channel, irs_channel_info& info);
int irsLocalQuery(IrsPort& port, const char* className, const char* attribute, int timeoutMs,
                  irs_ias_value* values, int maxValues);
int irsLocalPortStatus(IrsPort& port, irs_port_state& status);
int irsLocalChannelStatus(IrsPort& port, IrsChannel& channel, irs_channel_state& status);
