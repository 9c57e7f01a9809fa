// The page of a one-time sign-in link: it signs in by posting its form at once. Whatever only
// fetches the address (a link preview, a prefetch) runs no script and uses up nothing; without
// scripts the person presses Continue.
'use strict';

(() => {
  const form = document.getElementById('go');
  if (!form) return;
  // The code leaves the address bar and the history; it is in the form.
  history.replaceState(null, '', '/svc/go');
  form.submit();
})();
