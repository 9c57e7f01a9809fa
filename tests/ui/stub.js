// A stand-in for the program's script bridge, injected into every page of the pages' origin
// before the page's own scripts. Its state (the session, user properties, sources, tasks, the
// folder dialog's next answers, the journal of calls) lives in localStorage, so it survives the
// navigations the program would make; tests read and change it with window.__stub.
'use strict';

function installStub(config) {
  if (location.origin !== config.origin) return;
  const KEY = 'tessel-stub';
  if (localStorage.getItem('tessel-stub-seed') !== config.seedId) {
    localStorage.setItem(KEY, JSON.stringify(config.seed));
    localStorage.setItem('tessel-stub-seed', config.seedId);
  }
  const load = () => JSON.parse(localStorage.getItem(KEY));
  const save = (s) => localStorage.setItem(KEY, JSON.stringify(s));
  const copy = (v) => (v === undefined || v === null ? null : JSON.parse(JSON.stringify(v)));
  const fail = (name) => Object.assign(new Error(name), { name });
  const exact = (n, args) => {
    if (args.length !== n) throw fail('BadParamCount');
  };
  // The task record as the program shows it: every property a text.
  const setState = (t, state) => {
    t.state = state;
    t.finished = state === 'canceled' || state === 'finished' ? '1' : '0';
    t.running = ['preparing', 'running', 'canceling'].includes(state) ? '1' : '0';
    t.cancelled = state === 'canceling' || state === 'canceled' ? '1' : '0';
  };
  const methods = {
    getValtoken: (s) => s.valtoken,
    getServiceURL: (s) => s.svcurl,
    getCurrentState: (s) => s.currentState,
    // The program's own settings the pages may see: "backupvideos" only.
    getAppSetting: (s, a) => (exact(1, a), a[0] === 'backupvideos' ? s.settings[a[0]] ?? null : null),
    setAppSetting: (s, a) => {
      exact(2, a);
      if (a[0] === 'backupvideos' && (a[1] === '0' || a[1] === '1')) s.settings[a[0]] = a[1];
    },
    getUserProperty: (s, a) => (exact(1, a), a[0] === 'yto.computername' ? 'testbox' : s.props[a[0]] ?? null),
    setUserProperty: (s, a) => {
      exact(2, a);
      s.props[a[0]] = String(a[1]);
    },
    log: (s, a) => {
      exact(1, a);
      s.logs.push(String(a[0]));
    },
    loginUser: (s, a) => {
      exact(1, a);
      s.valtoken = String(a[0]);
      setTimeout(() => location.assign('browser.html'), 0);
    },
    logoutUser: (s) => {
      s.valtoken = null;
      setTimeout(() => location.assign('signin.html'), 0);
    },
    isCurrentOSGranted: () => true,
    isCurrentBrowserGranted: () => true,
    getAutoImportSources: (s) => copy(s.sources),
    getAutoImportTasks: (s) => copy(s.tasks),
    getTaskErrors: (s, a) => (exact(1, a), s.tasks.some((t) => t.taskid === a[0]) ? copy(s.errors[a[0]] || []) : null),
    addAutoImportFromSource: (s, a) => {
      exact(2, a);
      const src = s.sources.find((x) => x.sourceid === a[0]);
      if (!src || !/^ytozv:\/\/[^:]+:.+/.test(a[1])) return undefined;
      const t = { taskid: 'task' + ++s.seq, sourceid: src.sourceid, totfiles: '0', currfileidx: '0',
        currentfile: '', errors: '0', errormask: '0', skipped: '0', type: 'autoimport',
        taskclass: src.sourceclass, flags: '5', currentfileprogress: '0', progressstate: 'parsing',
        srcuris: src.uris.slice(), desturi: a[1], timestamp: '-1' };
      setState(t, 'canceled');  // new backup tasks start paused
      s.tasks.push(t);
      return copy(t);
    },
    doAutoImportSourceDialog: (s, a) => {
      exact(1, a);
      const pick = s.dialog.shift();
      if (!pick) return null;
      const src = { sourceid: 'src' + ++s.seq, sourceclass: a[0], name: pick.name, uris: ['file://' + pick.path] };
      s.sources.push(src);
      return copy(src);
    },
    removeAutoImportSource: (s, a) => {
      exact(1, a);
      const i = s.sources.findIndex((x) => x.sourceid === a[0]);
      return i < 0 ? -1 : (s.sources.splice(i, 1), 1);
    },
    removeTask: (s, a) => {
      exact(1, a);
      const i = s.tasks.findIndex((x) => x.taskid === a[0]);
      return i < 0 ? -1 : (s.tasks.splice(i, 1), 1);
    },
    pauseTask: (s, a) => {
      exact(2, a);
      const t = s.tasks.find((x) => x.taskid === a[0]);
      if (t && Number(a[1])) setState(t, t.running === '1' ? 'canceling' : 'canceled');
      else if (t && t.state === 'canceled') setState(t, 'pending');
      return -1;
    },
    showPreferences: (s, a) => exact(1, a),
    updateMountedDriver: () => undefined,
    openPellixBrowser: (s, a) => exact(1, a),
  };
  const bridge = new Proxy({}, {
    get(target, name) {
      if (typeof name !== 'string' || name === 'then') return undefined;
      return function (...args) {
        const s = load();
        if (name !== 'log') s.calls.push([name, ...args]);
        try {
          if (!methods[name]) throw fail('UnknownName');
          const r = methods[name](s, args);
          return r === undefined ? undefined : r;
        } finally {
          save(s);
        }
      };
    },
  });
  window.__stub = { load, save, setState };
  try {
    window.external.zvsrv = bridge;
  } catch (e) {}
  if (!window.external || window.external.zvsrv !== bridge)
    Object.defineProperty(window, 'external', { value: { zvsrv: bridge }, configurable: true });
  window.addEventListener('load', () => {
    window.yto = bridge;
  }, { capture: true });
}

module.exports = { installStub };
