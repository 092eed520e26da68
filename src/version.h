#pragma once

// Version text written in the system log's banner.
#define LS_VERSION "0.0.1"
