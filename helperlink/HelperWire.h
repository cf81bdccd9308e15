#pragma once
// PLACEHOLDER: the wire protocol between client and helper daemon is being written.
