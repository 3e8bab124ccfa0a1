#pragma once
// The wizard's state machine: what Next, Previous and Close do on each page,
// and the page changes that worker reports cause.
namespace wizard {

void NextAction();
void PreviousAction();
void CloseAction();
void ShowPage2();  // on configuration received

}  // namespace wizard
