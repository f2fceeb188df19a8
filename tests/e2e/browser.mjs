// What the browser flows share: headless Chromium with a private profile, and a check that
// stops a flow with what failed.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');

export function check(condition, what) {
  if (!condition) throw new Error(`check failed: ${what}`);
}

// Chromium on a fresh profile folder, with a page of the given height ready to use.
export async function openBrowser(profile, height) {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    timeout: 30000,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 900, height },
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(15000);
  return { context, page };
}
