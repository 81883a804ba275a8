// CFString: immutable or mutable UTF-16 text.
#pragma once

#include <string>

#include "cf/cf_object.h"

namespace xnq::cf {

class String : public Object {
 public:
  static constexpr TypeTag kTag = TypeTag::kString;
  explicit String(std::u16string text) : Object(kTag), text(std::move(text)) {}

  // Written only through CFStringRef values created mutable (CFMutableStringRef).
  std::u16string text;
};

// Makes a new string holding the text; the caller owns the one reference.
CFStringRef makeString(std::u16string text);

}  // namespace xnq::cf
