// The web view's page, shipped in the program: no build step, no external
// assets. Script and style are files of their own so that the Content
// Security Policy can forbid inline code.
#pragma once

#include <string>

namespace tarvolen {

// The page, titled with the camera's name when there is one.
std::string webPageHtml(const std::string& cameraName = "");
const std::string& webPageScript();
const std::string& webPageStyle();

}  // namespace tarvolen
