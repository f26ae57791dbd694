// PLACEHOLDER: test harness being written.
#pragma once
