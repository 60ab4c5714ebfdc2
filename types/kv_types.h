#pragma once

// The empty common base of the support library's value classes (strings, mutexes).
class KV_types {};
