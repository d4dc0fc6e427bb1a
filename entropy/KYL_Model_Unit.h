// The adaptive frequency models the range coder codes with.
#pragma once
