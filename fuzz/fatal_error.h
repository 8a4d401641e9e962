#pragma once

// What Fatal throws in the fuzz build, for the fuzz target to catch.
struct FatalError {};
