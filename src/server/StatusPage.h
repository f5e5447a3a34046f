#pragma once
// The status port's page: one self-contained HTML file (StatusPage.html,
// built into the program) that polls /transfers and /metrics and shows each
// running transfer and the totals. It loads nothing from anywhere else, as
// neither the server nor its operator may reach the internet.

#include <string>

const std::string& StatusPage();
