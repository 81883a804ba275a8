// The translation unit that builds the test suites' precompiled header (see CMakeLists.txt).
