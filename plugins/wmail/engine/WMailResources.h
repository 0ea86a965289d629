#pragma once

// The plug-in's compiled-in resources (icons, the page's files, emoticons,
// editor icons, jQuery). They live in a static library: whoever uses them
// registers them once.
class WMailResources
{
public:
    WMailResources() = delete;
    static void initialise();
};
