// A helper of util/ that the fixture includes.
#pragma once
